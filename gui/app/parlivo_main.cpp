// Parlivo's Unicode GUI entry point; the command line is not used.
#include <windows.h>

#include "app/main_window_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  return colloquor::run_parlivo(instance, show_command);
}
