// "Save..." and the copy buttons. The transcript now shown (live or viewed from the history) is
// saved as two documents, one per language of the conversation: each line contributes whichever
// of its text or translation is in the document's language. Documents are UTF-8 with a byte-order
// mark and CR LF line ends. Portable: the documents, the names and the order of the steps; the
// Save dialog, the files and the clipboard are in export_win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transcript/transcript_line.h"

namespace colloquor {

inline constexpr std::string_view kAutoLanguage = "auto";
inline constexpr std::string_view kNoTranslation = "none";
// The document of the speech as spoken, whatever its language.
inline constexpr std::string_view kOriginalDocument = "orig";

inline constexpr std::u16string_view kNothingToSaveStatus = u"Nothing to save yet.";
// Every document would be empty: the lines are in other languages than the ones asked for.
inline constexpr std::u16string_view kNothingInTheseLanguagesStatus =
    u"Nothing to save in these languages.";
inline constexpr std::u16string_view kSaveFailedStatus = u"Could not save the file.";
inline constexpr std::u16string_view kSavedStatus = u"Saved: ";
inline constexpr std::u16string_view kSavedJoiner = u"  and  ";

inline constexpr std::u16string_view kSaveDialogTitle =
    u"Save both versions (a language code is appended to the name automatically)";
// The Save dialog's filter: description and pattern, each ended by a zero, then the array's own
// terminating zero ends the list.
inline constexpr char16_t kSaveDialogFilter[] = u"Text document (*.txt)\0*.txt\0";
inline constexpr std::u16string_view kSaveDialogExtension = u"txt";
// Characters of the file name buffer handed to the Save dialog.
inline constexpr std::size_t kSaveNameCapacity = 260;

// The code of a language list's selection: the table code for item data 0 to 7 of a valid
// selection, otherwise the list's default ("auto" for speech, "none" for translation).
std::string speech_list_code(bool has_selection, std::int64_t item_data);
std::string translation_list_code(bool has_selection, std::int64_t item_data);

// The language pair a transcript was recorded with, read from its own lines: the translation
// language most lines were translated into ("none" when no line has a translation), and the one
// other language the lines were recognized in ("auto" when there are several or none). A saved
// session keeps the languages it was recorded in, whatever the language lists say today.
struct ExportLanguages {
  std::string speech;
  std::string translation;
};
ExportLanguages languages_of_lines(const std::vector<TranscriptLine>& lines);

// The languages a viewed session is saved in: those of the lists whenever every document they
// name holds at least one of its lines; otherwise, since a document of the lists would come out
// empty, the languages it was recorded in (languages_of_lines).
ExportLanguages viewed_session_languages(const std::vector<TranscriptLine>& lines,
                                         std::string_view speech_code,
                                         std::string_view translation_code);

// The language of the first document: "orig" for "auto", else the speech language itself.
std::string first_document_language(std::string_view speech_code);

// One document over the lines in order: per line its text ("orig", or its language is lang) or
// its translation (its translation language is lang), "[label] " before it when the line is
// labelled, CR LF after it; lines contributing nothing are left out.
std::u16string build_document(const std::vector<TranscriptLine>& lines, std::string_view lang);

// The proposed file name, "Transcript_2024-05-01_14-03".
std::u16string proposed_export_name(int year, int month, int day, int hour, int minute);

// The chosen path without a final ".txt" in any case (kept when that is the whole name).
std::u16string export_base(std::u16string_view chosen);

// base + "_" + language + ".txt".
std::u16string export_path(std::u16string_view base, std::string_view language);

// The bytes of a document file: EF BB BF, then the text in UTF-8 (unpaired surrogates become
// U+FFFD; control characters are kept).
std::string utf8_document(std::u16string_view text);

// What saving needs from the window and the file system.
struct ExportView {
  virtual ~ExportView() = default;
  // Runs the Save dialog proposing `proposed`; false when it was cancelled.
  virtual bool choose_path(const std::u16string& proposed, std::u16string& chosen) = 0;
  // The local time as "Transcript_..." (proposed_export_name of now).
  virtual std::u16string proposed_name() = 0;
  virtual bool write_document(const std::u16string& path, std::u16string_view text) = 0;
  virtual void set_status(std::u16string_view text) = 0;
};

// "Save...": nothing to save, or the dialog, then the first document and, unless the translation
// is "none", the second, with the status line telling the outcome. A document that would be empty
// is not written; when both would be, there is nothing to save and no dialog.
void save_transcripts(const std::vector<TranscriptLine>& lines, std::string_view speech_code,
                      std::string_view translation_code, ExportView& view);

}  // namespace colloquor
