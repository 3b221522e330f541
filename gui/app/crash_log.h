// The last-resort crash log: one line per crash in "crash.log" next to the program, appended by
// whichever thread crashed. The line texts are portable; writing and the handlers are Win32.
#pragma once

#include <string>
#include <string_view>

namespace colloquor {

inline constexpr wchar_t kCrashLogName[] = L"crash.log";

// timestamp (each UTF-16 unit as its low byte), two spaces, the message bytes, CR LF.
std::string crash_line(std::u16string_view timestamp, std::string_view message);

// "std::terminate", or "std::terminate: " + what() when a standard exception escaped.
std::string terminate_message(const char* what);

// "unhandled exception 0x%08lX at %p", at most 159 characters.
std::string unhandled_exception_message(unsigned long code, const void* address);

// "the main window could not be created (error %lu)".
std::string window_creation_failed_message(unsigned long error);

// Appends one line to crash.log in the program folder; silently does nothing when the file cannot
// be opened. Safe on any thread, takes no lock.
void write_crash_line(std::string_view message);

// Installs the unhandled-exception filter and the terminate handler; both end the process without
// a system dialog after writing their line.
void install_crash_handlers();

}  // namespace colloquor
