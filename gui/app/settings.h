// settings.ini: read while the window is created, rewritten at every change. The reading steps are
// interleaved with the filling of the lists, so each is its own call, made by WM_CREATE in order.
#pragma once

namespace colloquor {

// Computes the path and makes sure the file is in the current format (an older or missing file is
// replaced by an empty one of the current version that keeps only the two language choices).
void prepare_settings_file();

// After the language lists are filled: languages, gain, strength and the conditioning switches.
void load_language_and_audio_settings();

// After the output device list is filled and its first item selected: the stored device.
void load_output_device_setting();

// The chosen model ids, the capture switches, the speaker radio buttons and the sensitivity.
void load_model_and_capture_settings();

// After the history is listed: the stored microphone, found by its item text.
void load_microphone_setting();

// Writes the whole "app" section from the current state; nothing before the path is known.
void save_settings();

}  // namespace colloquor
