// Stands in for Parlivo.exe in the installer's payload: when the installer starts it, it records
// its working directory in "launched.txt" next to itself.
#include <windows.h>

#include <string>

int wmain() {
  wchar_t self[1024] = {};
  DWORD length = GetModuleFileNameW(nullptr, self, 1024);
  while (length > 0 && self[length - 1] != L'\\') --length;
  self[length] = L'\0';
  wchar_t cwd[1024] = {};
  GetCurrentDirectoryW(1024, cwd);
  HANDLE file = CreateFileW((std::wstring(self) + L"launched.txt").c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, cwd, DWORD(lstrlenW(cwd) * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  return 0;
}
