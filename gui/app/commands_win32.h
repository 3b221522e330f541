// The window procedure's handlers for the user's commands and the capture threads' reports. Each
// is called with the message's parameters from main_window_proc; all run on the window thread.
#pragma once

#include <windows.h>

#include "app/commands.h"

namespace colloquor {

// WM_COMMAND. False for an id that is not one of the window's controls, which the caller hands to
// the default window procedure; true (answer 0) otherwise.
bool on_command(WPARAM wparam, LPARAM lparam);

// WM_HSCROLL from one of the three trackbars: the live values follow the thumb; the settings are
// written once, when the drag or key press ends.
void on_trackbar_scroll(WPARAM wparam, LPARAM lparam);

// WM_AUDIO_LEVEL: the channel's level bar and, while recording, the speech state in the status
// line.
void on_audio_level(WPARAM wparam, LPARAM lparam);

// WM_LOOPBACK_FAILED: takes back and frees the reason string and, when the report is of the
// loopback run that is wanted now, says so in the status line.
void on_loopback_failed(WPARAM wparam, LPARAM lparam);

// Stops capture (each open utterance ending with its "E"), forgets both channels' speech, and
// tells the worker messages which session the still unanswered audio belongs to.
void stop_recording();

// The window's timer: says so while audio is being dropped because the worker does not keep up.
void report_dropped_audio();

// The session files' saving failed (a full disk) or works again.
void on_session_saving(bool ok);

// The control the keyboard starts from: Record when it can be pressed, else "+ New session".
HWND default_focus_control();

// The speech state of the level reports (kept for the whole run).
extern SpeechStatus speech_status;

}  // namespace colloquor
