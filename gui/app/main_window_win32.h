// Parlivo's one top-level window: class registration, creation, the message loop and access to the
// controls for the rest of the program (the controls are also reachable with GetDlgItem by id).
#pragma once

#include <windows.h>

#include "app/control_ids.h"

namespace colloquor {

inline constexpr wchar_t kMainWindowClass[] = L"Parlivo";
inline constexpr wchar_t kMainWindowTitle[] = L"Colloquor";

// Registers the "Parlivo" class with icon resource 1 (when the executable carries it).
bool register_main_window_class(HINSTANCE instance);

// Creates the top-most main window at the screen dpi; WM_CREATE builds every control.
HWND create_main_window(HINSTANCE instance);

// Sets the small icon (icon resource 1 at the small-icon size) when it loads.
void set_small_icon(HWND window, HINSTANCE instance);

// GetMessageW until WM_QUIT; every message is first offered to IsDialogMessageW for `window` so
// that TAB and the arrow keys move between the controls. Returns the quit code.
int run_message_loop(HWND window);

// The whole program: crash handlers, dpi awareness, common controls, window, loop, thread detach.
int run_parlivo(HINSTANCE instance, int show_command);

// Lets the bootstrap and reader threads go without joining them (a worker that still writes or a
// bootstrap that still waits must not delay the exit). Safe to call more than once.
void detach_worker_threads();

HWND main_window();
// The control in a creation slot, or nullptr before WM_CREATE made it.
HWND control(Ctl which);
// The dpi read at WM_CREATE (the screen's dpi before that).
int window_dpi();

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace colloquor
