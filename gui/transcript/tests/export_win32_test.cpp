// Export and clipboard on the real system (under Wine): document bytes on disk, the real Save
// dialog answered by a timer that types a name into it, and the real clipboard read back.
#include <windows.h>
#include <commdlg.h>
#include <dlgs.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "shared/win32_text.h"
#include "transcript/export_win32.h"
#include "transcript/session_file.h"

namespace colloquor {
namespace {

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

std::string disk_bytes(const std::u16string& path) {
  HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

std::wstring window_text(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

TranscriptLine line(int channel, int speaker, bool labelled, std::u16string text,
                    std::string language, std::u16string translation,
                    std::string translation_language) {
  TranscriptLine l;
  l.channel = channel;
  l.speaker = speaker;
  l.labelled = labelled;
  l.text = std::move(text);
  l.language = std::move(language);
  l.translation = std::move(translation);
  l.translation_language = std::move(translation_language);
  return l;
}

// Russian speech with English translations, one labelled line from the other side.
const std::vector<TranscriptLine> kConversation = {
    line(0, 0, false, u"\u041F\u0440\u0438\u0432\u0435\u0442", "ru", u"Hello", "en"),
    line(1, 2, true, u"How are you?", "en", u"\u041A\u0430\u043A \u0434\u0435\u043B\u0430?", "ru"),
};

class ExportFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = u16(temp) + u"colloquor-export-" + u16(std::to_wstring(GetCurrentProcessId())) +
              u"-" + u16(std::to_wstring(GetTickCount64()));
    ASSERT_TRUE(CreateDirectoryW(wide(folder_), nullptr));
  }
  void TearDown() override {
    for (const std::u16string& name : made_) DeleteFileW(wide(folder_ + u"\\" + name));
    RemoveDirectoryW(wide(folder_));
  }
  std::u16string file(const std::u16string& name) {
    made_.push_back(name);
    return folder_ + u"\\" + name;
  }

  std::u16string folder_;
  std::vector<std::u16string> made_;
};

TEST_F(ExportFilesTest, DocumentBytesAreABomAndUtf8WithCrLf) {
  const std::u16string path = file(u"doc.txt");
  ASSERT_TRUE(write_utf8_file(path, build_document(kConversation, "ru")));
  EXPECT_EQ(disk_bytes(path),
            "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\n"
            "[Them 2] \xD0\x9A\xD0\xB0\xD0\xBA \xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0?\r\n");
}

TEST_F(ExportFilesTest, AnEmptyTextGivesOnlyTheBomAndAnOldFileIsReplacedWhole) {
  const std::u16string path = file(u"old.txt");
  ASSERT_TRUE(write_utf8_file(path, u"a much longer earlier content\r\n"));
  ASSERT_TRUE(write_utf8_file(path, u""));
  EXPECT_EQ(disk_bytes(path), "\xEF\xBB\xBF");
}

TEST_F(ExportFilesTest, UnwritablePlacesReportFailure) {
  EXPECT_FALSE(write_utf8_file(folder_ + u"\\no such folder\\x.txt", u"x"));
  // A file another program holds open without sharing.
  const std::u16string path = file(u"held.txt");
  HANDLE held = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(write_utf8_file(path, u"x"));
  CloseHandle(held);
}

// ---- The Save dialog ----------------------------------------------------------------------------

// A window like the main one for what "Save..." reads and writes: the two language lists and the
// status line.
class SaveDialogTest : public ExportFilesTest {
 protected:
  static void SetUpTestSuite() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    owner_ = CreateWindowExW(0, L"STATIC", L"export host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                             600, 300, nullptr, nullptr, instance, nullptr);
    speech_ = make_list(0, L"Auto");
    target_ = make_list(40, L"No translation");
    status_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 100, 580, 20, owner_,
                              nullptr, instance, nullptr);
  }
  static void TearDownTestSuite() { DestroyWindow(owner_); }
  static ExportWindow window() { return ExportWindow{owner_, status_, speech_, target_}; }

  static HWND make_list(int top, const wchar_t* first) {
    HWND list = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 0,
                                top, 200, 200, owner_, nullptr, GetModuleHandleW(nullptr), nullptr);
    add(list, first, -1);
    for (int i = 0; i < 8; ++i) add(list, std::to_wstring(i).c_str(), i);
    return list;
  }
  static void add(HWND list, const wchar_t* text, LPARAM data) {
    const LRESULT index = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
  }
  // Items: 0 = the default entry, 1 + i = language i (0 ru, 1 en, 2 de, ...).
  static void choose(int speech_item, int target_item) {
    SendMessageW(speech_, CB_SETCURSEL, static_cast<WPARAM>(speech_item), 0);
    SendMessageW(target_, CB_SETCURSEL, static_cast<WPARAM>(target_item), 0);
    SetWindowTextW(status_, L"untouched");
  }

  static HWND owner_;
  static HWND speech_;
  static HWND target_;
  static HWND status_;
};
HWND SaveDialogTest::owner_ = nullptr;
HWND SaveDialogTest::speech_ = nullptr;
HWND SaveDialogTest::target_ = nullptr;
HWND SaveDialogTest::status_ = nullptr;

// What the dialog showed, and what the timer typed into it (empty: press Cancel).
struct DialogSeen {
  bool shown = false;
  std::wstring proposed;
  HWND owner = nullptr;
};
DialogSeen g_dialog;
std::wstring g_answer;

const wchar_t kTitle[] =
    L"Save both versions (a language code is appended to the name automatically)";

HWND file_name_box(HWND dialog) {
  for (int id : {edt1, cmb13}) {
    if (HWND box = GetDlgItem(dialog, id)) return box;
  }
  return nullptr;
}

void CALLBACK answer_dialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", kTitle);
  if (dialog == nullptr) return;
  HWND name = file_name_box(dialog);
  if (name == nullptr) return;
  KillTimer(nullptr, timer);
  g_dialog.shown = true;
  g_dialog.proposed = window_text(name);
  g_dialog.owner = GetWindow(dialog, GW_OWNER);
  if (g_answer.empty()) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return;
  }
  SetWindowTextW(name, g_answer.c_str());
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

void save_answering(const ExportWindow& window, const std::vector<TranscriptLine>& lines,
                    const std::u16string& answer) {
  g_dialog = DialogSeen{};
  g_answer.assign(answer.begin(), answer.end());
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, answer_dialog);
  save_transcripts(window, lines);
  KillTimer(nullptr, timer);
}

TEST_F(SaveDialogTest, ConcretePairWritesBothDocumentsAfterTheDialog) {
  choose(1, 2);  // Russian speech, English translation
  file(u"talk_ru.txt");
  file(u"talk_en.txt");
  save_answering(window(), kConversation, folder_ + u"\\talk.TXT");
  ASSERT_TRUE(g_dialog.shown);
  EXPECT_EQ(g_dialog.owner, owner_);
  EXPECT_EQ(g_dialog.proposed.rfind(L"Transcript_", 0), 0u) << g_dialog.proposed.c_str();
  EXPECT_EQ(g_dialog.proposed.size(), std::wstring(L"Transcript_2026-12-09_10-00").size());
  EXPECT_EQ(disk_bytes(folder_ + u"\\talk_ru.txt"),
            "\xEF\xBB\xBF" + utf16_to_utf8(build_document(kConversation, "ru")));
  EXPECT_EQ(disk_bytes(folder_ + u"\\talk_en.txt"),
            "\xEF\xBB\xBF"
            "Hello\r\n[Them 2] How are you?\r\n");
  const std::wstring folder(folder_.begin(), folder_.end());
  EXPECT_EQ(window_text(status_),
            L"Saved: " + folder + L"\\talk_ru.txt  and  " + folder + L"\\talk_en.txt");
}

TEST_F(SaveDialogTest, AutoWithoutTranslationWritesOnlyTheOrigDocument) {
  choose(0, 0);
  file(u"call_orig.txt");
  save_answering(window(), kConversation, folder_ + u"\\call");
  ASSERT_TRUE(g_dialog.shown);
  EXPECT_EQ(disk_bytes(folder_ + u"\\call_orig.txt"),
            "\xEF\xBB\xBF" + utf16_to_utf8(build_document(kConversation, "orig")));
  EXPECT_EQ(disk_bytes(folder_ + u"\\call_none.txt"), "<missing>");
  const std::wstring folder(folder_.begin(), folder_.end());
  EXPECT_EQ(window_text(status_), L"Saved: " + folder + L"\\call_orig.txt");
}

TEST_F(SaveDialogTest, CancelWritesNothingAndLeavesTheStatus) {
  choose(1, 2);
  save_answering(window(), kConversation, u"");
  ASSERT_TRUE(g_dialog.shown);
  EXPECT_EQ(window_text(status_), L"untouched");
}

TEST_F(SaveDialogTest, AnEmptyTranscriptShowsNoDialog) {
  choose(1, 2);
  g_dialog = DialogSeen{};
  g_answer = L"unused";
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, answer_dialog);
  save_transcripts(window(), {});
  KillTimer(nullptr, timer);
  EXPECT_FALSE(g_dialog.shown);
  EXPECT_EQ(window_text(status_), L"Nothing to save yet.");
}

TEST_F(SaveDialogTest, AFirstDocumentThatCannotBeWrittenIsReported) {
  choose(1, 2);
  const std::u16string held_path = file(u"busy_ru.txt");
  HANDLE held = CreateFileW(wide(held_path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  file(u"busy_en.txt");
  save_answering(window(), kConversation, folder_ + u"\\busy.txt");
  CloseHandle(held);
  EXPECT_EQ(window_text(status_), L"Could not save the file.");
  EXPECT_EQ(disk_bytes(folder_ + u"\\busy_en.txt"), "<missing>");
}

// A saved session being viewed: Russian lines into English, a German one into Russian.
const std::vector<TranscriptLine> kSavedSession = {
    line(0, 0, false, u"\u0414\u0430", "ru", u"Yes", "en"),
    line(1, 0, true, u"Guten Tag", "de", u"\u041F\u0440\u0438\u0432\u0435\u0442", "ru"),
    line(0, 0, false, u"\u041D\u0435\u0442", "ru", u"No", "en"),
};

void save_viewed_answering(const ExportWindow& window, const std::vector<TranscriptLine>& lines,
                           const std::u16string& answer) {
  g_dialog = DialogSeen{};
  g_answer.assign(answer.begin(), answer.end());
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, answer_dialog);
  save_transcripts_as_recorded(window, lines);
  KillTimer(nullptr, timer);
}

TEST_F(SaveDialogTest, AViewedSessionFollowsTheListsWhenBothDocumentsHoldALine) {
  choose(1, 2);  // Russian speech, English translation
  file(u"viewed_ru.txt");
  file(u"viewed_en.txt");
  file(u"viewed_orig.txt");
  save_viewed_answering(window(), kSavedSession, folder_ + u"\\viewed");
  ASSERT_TRUE(g_dialog.shown);
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_ru.txt"),
            "\xEF\xBB\xBF\xD0\x94\xD0\xB0\r\n"
            "[Them] \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\n"
            "\xD0\x9D\xD0\xB5\xD1\x82\r\n");
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_en.txt"), "\xEF\xBB\xBFYes\r\nNo\r\n");
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_orig.txt"), "<missing>");
}

TEST_F(SaveDialogTest, AViewedSessionTakesItsOwnLanguagesWhenTheListsWouldGiveAnEmptyDocument) {
  choose(4, 5);  // French into Spanish: nothing of the session is in either
  file(u"viewed_orig.txt");
  file(u"viewed_en.txt");
  file(u"viewed_fr.txt");
  file(u"viewed_es.txt");
  save_viewed_answering(window(), kSavedSession, folder_ + u"\\viewed");
  ASSERT_TRUE(g_dialog.shown);
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_orig.txt"),
            "\xEF\xBB\xBF" + utf16_to_utf8(build_document(kSavedSession, "orig")));
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_en.txt"), "\xEF\xBB\xBFYes\r\nNo\r\n");
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_fr.txt"), "<missing>");
  EXPECT_EQ(disk_bytes(folder_ + u"\\viewed_es.txt"), "<missing>");
  const std::wstring folder(folder_.begin(), folder_.end());
  EXPECT_EQ(window_text(status_),
            L"Saved: " + folder + L"\\viewed_orig.txt  and  " + folder + L"\\viewed_en.txt");
}

// ---- The clipboard ------------------------------------------------------------------------------

class ClipboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    owner_ = CreateWindowExW(0, L"STATIC", L"clipboard owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  static void TearDownTestSuite() { DestroyWindow(owner_); }

  // The clipboard's text, or "<none>" when it holds no text.
  static std::wstring clipboard_text() {
    if (!OpenClipboard(nullptr)) return L"<busy>";
    std::wstring text = L"<none>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
      if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
        text = chars;
        GlobalUnlock(data);
      }
    }
    CloseClipboard();
    return text;
  }

  static HWND owner_;
};
HWND ClipboardTest::owner_ = nullptr;

TEST_F(ClipboardTest, PanelTextGoesToTheClipboardAsUnicodeWithCrLf) {
  TranscriptPanel panel;
  panel.finals.push_back(PanelLine{0, 0, true, u"Hello"});
  panel.finals.push_back(PanelLine{1, 0, false, u"\u041F\u0440\u0438\u0432\u0435\u0442"});
  panel.partials[1] = PanelLine{1, 2, true, u"Hi"};
  panel.has_partial[1] = true;
  copy_panel_text(owner_, panel);
  EXPECT_EQ(clipboard_text(),
            L"[You] Hello\r\n\u041F\u0440\u0438\u0432\u0435\u0442\r\n[Them 2] Hi\r\n");
  EXPECT_EQ(GetClipboardOwner(), owner_);
}

TEST_F(ClipboardTest, AnEmptyPanelPutsAnEmptyString) {
  ASSERT_TRUE(copy_text_to_clipboard(owner_, u"something before"));
  copy_panel_text(owner_, TranscriptPanel{});
  EXPECT_EQ(clipboard_text(), L"");
}

TEST_F(ClipboardTest, ABusyClipboardIsLeftAlone) {
  ASSERT_TRUE(copy_text_to_clipboard(owner_, u"before"));
  std::atomic<int> stage{0};
  std::thread holder([&stage] {
    HWND other = CreateWindowExW(0, L"STATIC", L"other program", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    stage = OpenClipboard(other) ? 1 : -1;
    while (stage == 1) Sleep(5);
    CloseClipboard();
    DestroyWindow(other);
  });
  while (stage == 0) Sleep(5);
  ASSERT_EQ(stage, 1);
  EXPECT_FALSE(copy_text_to_clipboard(owner_, u"after"));
  stage = 2;
  holder.join();
  EXPECT_EQ(clipboard_text(), L"before");
}

}  // namespace
}  // namespace colloquor
