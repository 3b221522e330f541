// "Save..." with the Save dialog, the document files, and "Copy text" / "Copy translation" on the
// clipboard. Window thread only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "transcript/export.h"
#include "transcript/panel.h"

namespace colloquor {

// Writes EF BB BF and the text in UTF-8 into a new or replaced file, not shared while it is
// written. False when the file cannot be created or a write fails.
bool write_utf8_file(const std::u16string& path, std::u16string_view text);

// Where "Save..." happens: the owner of the Save dialog, the status line that tells the outcome,
// and the speech and translation language lists whose selections (item data: the language index,
// -1 for "Auto" / "No translation") choose the documents' languages.
struct ExportWindow {
  HWND owner = nullptr;
  HWND status_line = nullptr;
  HWND speech_list = nullptr;
  HWND translation_list = nullptr;
};

// "Save...": the documents of `lines` (the window's transcript_lines) in the languages selected in
// the window's language lists, after the Save dialog.
void save_transcripts(const ExportWindow& window, const std::vector<TranscriptLine>& lines);
// The same for a saved session being viewed: in the languages of the lists when each of their
// documents would hold a line of it, else in the languages its lines were recorded in.
void save_transcripts_as_recorded(const ExportWindow& window,
                                  const std::vector<TranscriptLine>& lines);

// Puts the text on the clipboard as CF_UNICODETEXT, the clipboard owned by `owner`. False when
// the clipboard is busy or the text could not be placed; nothing is reported to the user.
bool copy_text_to_clipboard(HWND owner, std::u16string_view text);

// "Copy text" (the recognized-speech panel) and "Copy translation" (the translation panel).
void copy_panel_text(HWND owner, const TranscriptPanel& panel);

}  // namespace colloquor
