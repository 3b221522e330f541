// The installer as the tests drive it: the same run, with the folder choice, the free space and
// the download addresses taken from the environment instead of the picker, the volume and the
// internet.
//   COLLOQUOR_TEST_FOLDER        the folder the picker would return (unset or empty: cancelled)
//   COLLOQUOR_TEST_FREE_BYTES    free bytes on the target volume, or "fail" for a failed query
//   COLLOQUOR_TEST_PACKAGE_URL   address of the Python package archive
//   COLLOQUOR_TEST_INSTALLER_URL address of the official Python installer
#include <windows.h>

#include <cwchar>

#include "installer/setup_win32.h"

namespace {

using colloquor::setup::env_value;

std::u16string chosen_folder() { return env_value(L"COLLOQUOR_TEST_FOLDER"); }

bool test_free_bytes(const std::u16string& folder, std::uint64_t& available) {
  const std::u16string value = env_value(L"COLLOQUOR_TEST_FREE_BYTES");
  if (value.empty()) return colloquor::setup::query_free_bytes(folder, available);
  if (value == u"fail") return false;
  available = std::wcstoull(reinterpret_cast<const wchar_t*>(value.c_str()), nullptr, 10);
  return true;
}

}  // namespace

int wmain() {
  colloquor::setup::SetupHooks hooks;
  hooks.pick_folder = chosen_folder;
  hooks.free_bytes = test_free_bytes;
  hooks.sources.package_url = env_value(L"COLLOQUOR_TEST_PACKAGE_URL");
  hooks.sources.installer_url = env_value(L"COLLOQUOR_TEST_INSTALLER_URL");
  return colloquor::setup::run_setup(hooks);
}
