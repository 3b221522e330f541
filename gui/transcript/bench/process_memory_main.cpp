// process_memory.exe NAME: the committed private memory of the running process NAME (for example
// Parlivo.exe), summed over its address space. Wine leaves the PrivateUsage counter empty, so the
// regions are added up instead.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD find_process(const wchar_t* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD found = 0;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* name = argc > 1 ? argv[1] : L"Parlivo.exe";
  const DWORD id = find_process(name);
  HANDLE process =
      id ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id) : nullptr;
  if (process == nullptr) {
    std::printf("%ls is not running\n", name);
    return 1;
  }
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (const char* at = nullptr; VirtualQueryEx(process, at, &info, sizeof(info)) == sizeof(info);
       at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (info.RegionSize == 0) break;
  }
  CloseHandle(process);
  std::printf("%ls private committed memory: %.1f MB\n", name, total / 1048576.0);
  return 0;
}
