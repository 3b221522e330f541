// Test helper: installs Parlivo's crash handlers, then fails as its argument says:
//   throw   a std::runtime_error("probe failure") escapes main
//   other   a non-standard exception (an int) escapes main
//   thread  a running std::thread object is destroyed (terminate without an active exception)
//   access  a write through a null pointer (an unhandled structured exception)
//   worker-access   the same on a second thread
//   worker-throw    a std::runtime_error escapes a second thread's function
#include <windows.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "app/crash_log.h"

void write_nowhere() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
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
  return 0;
}
