// The crash handlers run in a process that is already failing: they allocate little, take no lock
// and open the log anew for every line so that a crash on any thread can write.
#include "app/crash_log.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <exception>

#include "shared/program_dir_win32.h"

namespace colloquor {

namespace {

std::atomic<bool> g_terminating{false};

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
  unsigned long code = 0;
  const void* address = nullptr;
  if (info != nullptr && info->ExceptionRecord != nullptr) {
    code = info->ExceptionRecord->ExceptionCode;
    address = info->ExceptionRecord->ExceptionAddress;
  }
  write_crash_line(unhandled_exception_message(code, address));
  return EXCEPTION_EXECUTE_HANDLER;
}

std::string describe_current_exception() {
  std::exception_ptr current = std::current_exception();
  if (!current) return terminate_message(nullptr);
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& error) {
    return terminate_message(error.what());
  } catch (...) {
  }
  return terminate_message(nullptr);
}

[[noreturn]] void on_terminate() {
  // A second terminate (from another thread, or from inside this handler) must not write again or
  // recurse; the first one is already on its way to abort.
  if (!g_terminating.exchange(true)) {
    write_crash_line(describe_current_exception());
  }
  std::abort();
}

}  // namespace

void write_crash_line(std::string_view message) {
  std::wstring path = program_dir() + L"\\" + kCrashLogName;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::wstring stamp = local_timestamp();
  std::string line = crash_line(
      std::u16string_view(reinterpret_cast<const char16_t*>(stamp.data()), stamp.size()), message);
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

void install_crash_handlers() {
  SetUnhandledExceptionFilter(on_unhandled_exception);
  std::set_terminate(on_terminate);
  // abort() in a GUI program would otherwise stop in the runtime's "abnormal program termination"
  // message box, which nobody may be there to dismiss; the crash line is the report.
  _set_error_mode(_OUT_TO_STDERR);
}

}  // namespace colloquor
