// The program from start to exit: what must be in place before the window exists, and what is let
// go after the message loop ends.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/crash_log.h"
#include "app/main_window_win32.h"

namespace colloquor {

int run_parlivo(HINSTANCE instance, int show_command) {
  install_crash_handlers();
  SetProcessDPIAware();
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);

  register_main_window_class(instance);
  HWND window = create_main_window(instance);
  if (window == nullptr) {
    // Without a window nothing would ever end the message loop.
    write_crash_line(window_creation_failed_message(GetLastError()));
    return 1;
  }
  set_small_icon(window, instance);
  ShowWindow(window, show_command);

  run_message_loop(window);
  detach_worker_threads();
  return 0;
}

}  // namespace colloquor
