// Window-thread state of the main window that is not the worker's (that is WorkerState in
// worker_messages.h) and not capture's (the capture_running flag belongs to capture control).
#pragma once

#include <string>
#include <vector>

#include "app/commands.h"

namespace colloquor {

struct WindowState {
  bool session_open = false;          // a session file is open for the session shown
  bool selecting_by_program = false;  // the program itself is selecting in the Sessions list
  int spinner_phase = 0;              // 0..11, the strongest dot of the busy spinner
  // Where the user is in a choice on each list whose choice costs something.
  ListChoice output_device_choice;
  ListChoice speaker_model_choice;
  ListChoice translation_model_choice;
  // Problems met while the window was made, handed to the bootstrap, which shows them once the
  // recognizer has started (an earlier status line would be replaced at once).
  std::vector<std::u16string> startup_notices;
};

// The one instance, touched only on the window thread.
extern WindowState window_state;

}  // namespace colloquor
