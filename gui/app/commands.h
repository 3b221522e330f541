// The window's command side: what the controls do, the recording and session state that decides
// which controls are usable, and the options frame. Called from the window procedure, from the
// worker-line dispatch and from settings handling; all on the window thread.
#pragma once

namespace colloquor {

// Copies gain, strength and the three conditioning switches from the controls into the live
// values and their value labels; saves the settings when asked.
void apply_audio_options(bool save);

// Copies the capture and speaker switches and the sensitivity into the live values, refines what
// is enabled, sends the options while the worker is ready; saves the settings when asked.
void apply_capture_options(bool save);

// Sends the options frame "L" built from the language lists and the live values.
void send_options();

// Recomputes which controls are enabled from the session, capture and worker state.
void update_controls();

}  // namespace colloquor
