// Test helper: installs Parlivo's crash handlers, then fails as its argument says:
//   throw   a std::runtime_error("probe failure") escapes main
//   other   a non-standard exception (an int) escapes main
//   thread  a running std::thread object is destroyed (terminate without an active exception)
//   access  a write through a null pointer (an unhandled structured exception)
//   worker-access   the same on a second thread
//   worker-throw    a std::runtime_error escapes a second thread's function
//   no-window       runs Parlivo's entry while every window creation of this thread is refused
#include <windows.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "app/crash_log.h"
#include "app/main_window_win32.h"

void write_nowhere() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

// Refuses the creation of every top-level window, as a system short of window resources would.
LRESULT CALLBACK refuse_windows(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_CREATEWND) {
    const auto* create = reinterpret_cast<const CBT_CREATEWNDW*>(lparam);
    if (create->lpcs->hwndParent == nullptr) return 1;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

int main(int argc, char** argv) {
  colloquor::install_crash_handlers();
  const char* how = argc > 1 ? argv[1] : "";
  if (std::strcmp(how, "throw") == 0) throw std::runtime_error("probe failure");
  if (std::strcmp(how, "other") == 0) throw 42;
  if (std::strcmp(how, "thread") == 0) {
    std::thread running([] { std::this_thread::sleep_for(std::chrono::seconds(30)); });
    return 0;  // destroying a joinable thread object calls terminate
  }
  if (std::strcmp(how, "access") == 0) write_nowhere();
  if (std::strcmp(how, "worker-access") == 0) std::thread(write_nowhere).join();
  if (std::strcmp(how, "worker-throw") == 0) {
    std::thread([] { throw std::runtime_error("worker failure"); }).join();
  }
  if (std::strcmp(how, "no-window") == 0) {
    SetWindowsHookExW(WH_CBT, refuse_windows, nullptr, GetCurrentThreadId());
    return colloquor::run_parlivo(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
  }
  return 0;
}
