// Runs one download with the installer's progress line: download_probe URL TARGET; exit code 0
// when it reports success.
#include "installer/setup_win32.h"

#include <windows.h>
#include <objbase.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const bool ok = colloquor::setup::download_with_progress(
      reinterpret_cast<const char16_t*>(argv[1]), reinterpret_cast<const char16_t*>(argv[2]));
  return ok ? 0 : 1;
}
