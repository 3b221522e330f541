#include "app/crash_log.h"

#include <cstdio>

namespace colloquor {

std::string crash_line(std::u16string_view timestamp, std::string_view message) {
  std::string line;
  line.reserve(timestamp.size() + 2 + message.size() + 2);
  for (char16_t unit : timestamp) line.push_back(static_cast<char>(unit & 0xFF));
  line += "  ";
  line += message;
  line += "\r\n";
  return line;
}

std::string terminate_message(const char* what) {
  std::string message = "std::terminate";
  if (what != nullptr) {
    message += ": ";
    message += what;
  }
  return message;
}

std::string unhandled_exception_message(unsigned long code, const void* address) {
  char buffer[160];
  int length =
      std::snprintf(buffer, sizeof buffer, "unhandled exception 0x%08lX at %p", code, address);
  if (length < 0) return "unhandled exception";
  if (length >= static_cast<int>(sizeof buffer)) length = sizeof buffer - 1;
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string window_creation_failed_message(unsigned long error) {
  return "the main window could not be created (error " + std::to_string(error) + ")";
}

}  // namespace colloquor
