// ColloquorSetup.exe as built: its payload is the deliverables byte for byte, and it carries the
// icon, the version block and the manifest.
#include <gtest/gtest.h>

#include "installer/setup_rules.h"
#include "setup_harness.h"

namespace {

using namespace setup_test;

std::string resource_bytes(HMODULE module, const wchar_t* name, const wchar_t* type) {
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return "<missing>";
  HGLOBAL loaded = LoadResource(module, found);
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  return bytes == nullptr ? "<unlockable>" : std::string(bytes, SizeofResource(module, found));
}

class ShippedInstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(unix_path(INSTALLER_BUILD_DIR "/ColloquorSetup.exe").c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { FreeLibrary(module_); }
  HMODULE module_ = nullptr;
};

TEST_F(ShippedInstaller, PayloadIsTheDeliverablesByteForByte) {
  const std::pair<const wchar_t*, std::wstring> expected[] = {
      {L"F_EXE", unix_path(PARLIVO_EXE)},
      {L"F_WORKER", unix_path(COLLOQUOR_SOURCE_DIR "/worker/worker.py")},
      {L"F_DLPROG", unix_path(COLLOQUOR_SOURCE_DIR "/worker/dl_progress.py")},
      {L"F_REQ", unix_path(COLLOQUOR_SOURCE_DIR "/worker/requirements.txt")},
      {L"F_MODELS", unix_path(COLLOQUOR_SOURCE_DIR "/installer/install_models.py")},
      {L"F_README", unix_path(COLLOQUOR_SOURCE_DIR "/resources/README.md")},
  };
  ASSERT_EQ(std::size(expected), std::size(colloquor::setup::kPayloadFiles));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(reinterpret_cast<const wchar_t*>(colloquor::setup::kPayloadFiles[i].resource),
              std::wstring(expected[i].first));
    const std::string file = read_file(expected[i].second);
    ASSERT_FALSE(file.empty()) << narrow(expected[i].second);
    EXPECT_TRUE(resource_bytes(module_, expected[i].first, RT_RCDATA) == file)
        << narrow(expected[i].first);
  }
  EXPECT_EQ(resource_bytes(module_, L"F_README", RT_RCDATA).substr(0, 3), "\xEF\xBB\xBF");
  for (const auto& file : colloquor::setup::kPayloadFiles) {
    EXPECT_NE(FindResourceExW(module_, RT_RCDATA, reinterpret_cast<const wchar_t*>(file.resource),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
  }
}

TEST_F(ShippedInstaller, CarriesIconVersionAndManifest) {
  EXPECT_NE(FindResourceW(module_, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
  const std::string manifest = resource_bytes(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
  for (const char* needle :
       {"name=\"Colloquor.Setup\"", "version=\"1.0.0.0\"", "processorArchitecture=\"amd64\"",
        "level=\"asInvoker\"", "uiAccess=\"false\"", "Microsoft.Windows.Common-Controls",
        "version=\"6.0.0.0\"", ">true</dpiAware>"}) {
    EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
  }
  const std::string version = resource_bytes(module_, MAKEINTRESOURCEW(1), RT_VERSION);
  auto has_wide = [&](const wchar_t* text) {
    const std::string bytes(reinterpret_cast<const char*>(text), std::size_t(lstrlenW(text)) * 2);
    return version.find(bytes) != std::string::npos;
  };
  for (const wchar_t* text :
       {L"Colloquor - setup", L"ColloquorSetup.exe", L"ColloquorSetup", L"1.0.0.0"}) {
    EXPECT_TRUE(has_wide(text)) << narrow(text);
  }
}

}  // namespace
