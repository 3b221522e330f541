// Operations the window calls at fixed points whose owners have not published their headers yet.
// TEMPORARY: each declaration moves to its owner's header (the history list) and
// its stand-in in pending_hooks_win32.cpp is deleted with it.
#pragma once

#include <windows.h>

#include <string>

namespace colloquor {

// History list: fill it at start, and the Sessions list's Delete key and context menu.
void load_history();
void delete_history_entry(int index);
void open_history_entry(int index);
void open_history_folder(const std::wstring& folder);

}  // namespace colloquor
