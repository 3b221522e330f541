// The settings file on Windows: where it is, and a way for tests to keep theirs apart.
#pragma once

#include <string>

#include "app/settings.h"

namespace colloquor {

// The folder whose settings.ini the next window creation uses instead of the program's folder.
// Test programs share their build folder, so each window test gives its own; Parlivo never calls
// this. Window thread, before create_main_window.
void set_settings_folder(const std::u16string& folder);

// Full path of the settings file of this run; empty before the window computed it.
const std::u16string& settings_file_path();

}  // namespace colloquor
