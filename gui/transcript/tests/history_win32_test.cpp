// The Sessions list on real controls and files (under Wine): a folder of session files listed in a
// real list box, a saved session shown in two rich-edit panels, the live session's item growing
// with every saved line, and deletion through the real confirmation box, answered by a timer that
// reads the box and presses one of its buttons.
#include <windows.h>
#include <richedit.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "shared/win32_text.h"
#include "transcript/history_win32.h"
#include "transcript/panel_win32.h"

namespace colloquor {
namespace {

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

bool exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

void write_file(const std::u16string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring window_text(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The window's side of the history, as the main window supplies it.
bool g_session_open = false;
bool g_selecting_by_program = false;
bool g_capture_running = false;
int g_updates = 0;
std::vector<TranscriptLine> g_lines;

// What the list box saw of the program's own changes: the flag at every selection it was given.
WNDPROC g_list_proc = nullptr;
std::vector<bool> g_flag_at_selection;
LRESULT CALLBACK watching_list_proc(HWND list, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == LB_SETCURSEL) g_flag_at_selection.push_back(g_selecting_by_program);
  return CallWindowProcW(g_list_proc, list, message, wparam, lparam);
}

// The confirmation box as a timer found it, and the button it pressed.
struct BoxSeen {
  bool shown = false;
  std::wstring caption;
  std::wstring text;
  bool has_yes = false;
  bool has_no = false;
};
BoxSeen g_box;
int g_box_answer = IDNO;

BOOL CALLBACK find_static_text(HWND child, LPARAM found) {
  wchar_t name[32] = {};
  GetClassNameW(child, name, 32);
  const std::wstring text = window_text(child);
  if (lstrcmpiW(name, L"STATIC") == 0 && !text.empty()) {
    *reinterpret_cast<std::wstring*>(found) = text;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK answer_box(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowW(L"#32770", L"Sessions");
  if (box == nullptr) return;
  KillTimer(nullptr, timer);
  g_box.shown = true;
  g_box.caption = window_text(box);
  EnumChildWindows(box, find_static_text, reinterpret_cast<LPARAM>(&g_box.text));
  g_box.has_yes = GetDlgItem(box, IDYES) != nullptr;
  g_box.has_no = GetDlgItem(box, IDNO) != nullptr;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(g_box_answer, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, g_box_answer)));
}

class HistoryWindowTest : public ::testing::Test {
 protected:
  // One visible host for all cases: a top-level window costs seconds to create under Wine.
  static void SetUpTestSuite() {
    LoadLibraryW(L"Msftedit.dll");
    HINSTANCE instance = GetModuleHandleW(nullptr);
    host_ = CreateWindowExW(0, L"STATIC", L"history host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                            900, 600, nullptr, nullptr, instance, nullptr);
    list_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                            0, 0, 250, 500, host_, nullptr, instance, nullptr);
    status_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 260, 0, 600, 20, host_,
                              nullptr, instance, nullptr);
    const DWORD panel_style =
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
    recognized_panel.control =
        CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"", panel_style, 260, 30, 600, 250,
                        host_, nullptr, instance, nullptr);
    translation_panel.control =
        CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"", panel_style, 260, 300, 600, 250,
                        host_, nullptr, instance, nullptr);
    g_list_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(watching_list_proc)));

    HistoryWindow window;
    window.window = host_;
    window.sessions_list = list_;
    window.status_line = status_;
    window.session_open = &g_session_open;
    window.selecting_by_program = &g_selecting_by_program;
    window.transcript_lines = &g_lines;
    window.capture_running = [] { return g_capture_running; };
    // As the window's own update does: the current session's entry selected, or none.
    window.update_controls = [] {
      ++g_updates;
      select_current_session_in_history();
    };
    set_history_window(window);
  }
  static void TearDownTestSuite() {
    set_session_history_hooks({});
    DestroyWindow(host_);
  }

  void SetUp() override {
    ASSERT_NE(host_, nullptr);
    ASSERT_NE(list_, nullptr);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = u16(temp) + u"colloquor-history-" + u16(std::to_wstring(GetCurrentProcessId())) +
              u"-" + u16(std::to_wstring(GetTickCount64()));
    ASSERT_TRUE(CreateDirectoryW(wide(folder_), nullptr));
    may1_ = folder_ + u"\\2024-05-01_09-00-00.txt";
    may2_ = folder_ + u"\\2024-05-02_10-30-00.txt";
    write_file(may1_,
               "#V1\t2024-05-01_09-00-00\n"
               "U\t0\t1\t0\tru\ten\t\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\tHello\n"
               "U\t1\t2\t1\ten\tru\tHi there\t\n"
               "U\t0\t0\t0\tru\ten\tthird\tdritte\n");
    write_file(may2_, "U\t1\t0\t0\ten\tru\tlone line\t\r\n");  // no header, CR LF
    write_file(folder_ + u"\\notes.txt", "just some notes\n");
    write_file(folder_ + u"\\other.log", "#V1\t2030-01-01_00-00-00\n");
    CreateDirectoryW(wide(folder_ + u"\\folder.txt"), nullptr);
    g_session_open = false;
    g_capture_running = false;
    g_updates = 0;
    g_lines.clear();
    g_flag_at_selection.clear();
    clear_panel(recognized_panel);
    clear_panel(translation_panel);
    load_history_from(folder_);
  }

  void TearDown() override {
    close_session_file();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(folder_ + u"\\*"), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW(wide(folder_ + u"\\" + u16(found.cFileName)));
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(wide(folder_ + u"\\folder.txt"));
    RemoveDirectoryW(wide(folder_));
  }

  static std::vector<std::wstring> items() {
    std::vector<std::wstring> out;
    const LRESULT count = SendMessageW(list_, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      std::wstring text(static_cast<std::size_t>(SendMessageW(list_, LB_GETTEXTLEN, i, 0)) + 1,
                        L'\0');
      SendMessageW(list_, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
      text.resize(text.size() - 1);
      out.push_back(text);
    }
    return out;
  }
  static int selection() { return static_cast<int>(SendMessageW(list_, LB_GETCURSEL, 0, 0)); }
  // The control's text as it holds it: one CR ends each paragraph.
  static std::wstring panel_text_of(const TranscriptPanel& panel) {
    HWND control = panel_control(panel);
    GETTEXTLENGTHEX length{GTL_DEFAULT, 1200};
    const LRESULT n =
        SendMessageW(control, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
    std::wstring out(static_cast<std::size_t>(n) + 1, L'\0');
    GETTEXTEX request{};
    request.cb = static_cast<DWORD>(out.size() * sizeof(wchar_t));
    request.flags = GT_DEFAULT;
    request.codepage = 1200;
    SendMessageW(control, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&request),
                 reinterpret_cast<LPARAM>(out.data()));
    out.resize(wcslen(out.c_str()));
    return out;
  }

  static CHARFORMAT2W format_of(const TranscriptPanel& panel, LONG start, LONG end) {
    SendMessageW(panel_control(panel), EM_SETSEL, start, end);
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    SendMessageW(panel_control(panel), EM_GETCHARFORMAT, SCF_SELECTION,
                 reinterpret_cast<LPARAM>(&format));
    return format;
  }

  static HWND host_;
  static HWND list_;
  static HWND status_;
  std::u16string folder_;
  std::u16string may1_;
  std::u16string may2_;
};
HWND HistoryWindowTest::host_ = nullptr;
HWND HistoryWindowTest::list_ = nullptr;
HWND HistoryWindowTest::status_ = nullptr;

TEST_F(HistoryWindowTest, FolderIsListedNewestFirstWithoutSelectionQuietly) {
  EXPECT_EQ(items(), (std::vector<std::wstring>{L"notes      (0)", L"2024-05-02   10:30:00   (1)",
                                                L"2024-05-01   09:00:00   (3)"}));
  EXPECT_EQ(selection(), LB_ERR);
  for (bool raised : g_flag_at_selection) EXPECT_TRUE(raised);
  EXPECT_FALSE(g_selecting_by_program);
}

TEST_F(HistoryWindowTest, ViewingShowsTheSessionAsRecordedAndSelectsIt) {
  g_lines.push_back(TranscriptLine{});
  open_history_entry(2);
  ASSERT_EQ(g_lines.size(), 3u);
  EXPECT_EQ(g_lines[0].text, u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(g_lines[1].translation, u"");
  EXPECT_EQ(panel_text_of(recognized_panel),
            L"\u041F\u0440\u0438\u0432\u0435\u0442\rThem 2: Hi there\rthird\r");
  // A line without translation adds nothing to the translation panel.
  EXPECT_EQ(panel_text_of(translation_panel), L"Hello\rdritte\r");
  EXPECT_EQ(selection(), 2);
  EXPECT_EQ(window_text(status_),
            L"Viewing a saved session. Press \"+ New session\" to record again.");
  EXPECT_EQ(g_updates, 1);
  EXPECT_FALSE(g_selecting_by_program);

  // Labels and colours as recorded: "Them 2: " bold in channel 1's second colour, its text not
  // bold.
  const std::wstring shown = panel_text_of(recognized_panel);
  const LONG label_at = static_cast<LONG>(shown.find(L"Them 2: "));
  const CHARFORMAT2W label = format_of(recognized_panel, label_at, label_at + 8);
  EXPECT_EQ(label.crTextColor, 0x0A64CDu);
  EXPECT_TRUE(label.dwEffects & CFE_BOLD);
  const CHARFORMAT2W text = format_of(recognized_panel, label_at + 8, label_at + 16);
  EXPECT_EQ(text.crTextColor, 0x0A64CDu);
  EXPECT_FALSE(text.dwEffects & CFE_BOLD);
  EXPECT_EQ(format_of(recognized_panel, 0, 6).crTextColor, 0x1E1E1Eu);
  // The panel's bookkeeping goes on from there: an unfinished line comes below the saved ones.
  ASSERT_EQ(recognized_panel.finals.size(), 3u);
  set_partial(recognized_panel, 0, PanelLine{0, 0, false, u"live"});
  EXPECT_EQ(panel_text_of(recognized_panel),
            L"\u041F\u0440\u0438\u0432\u0435\u0442\rThem 2: Hi there\rthird\rlive\r");

  open_history_entry(1);  // the file without a header, read with its CR LF
  EXPECT_EQ(panel_text_of(recognized_panel), L"lone line\r");
  ASSERT_EQ(g_lines.size(), 1u);
}

TEST_F(HistoryWindowTest, TheLiveSessionIsListedFirstMarkedWhileRecordingAndCounted) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-07-01_08-00-00"));
  g_session_open = true;
  EXPECT_EQ(items().front(), L"2024-07-01   08:00:00   (0)");
  EXPECT_EQ(selection(), 0);

  g_capture_running = true;
  TranscriptLine line;
  line.text = u"spoken";
  line.language = "en";
  append_session_line(line);
  EXPECT_EQ(items().front(), L"\u25CF 2024-07-01   08:00:00   (1)");
  EXPECT_EQ(selection(), 0);  // the selection survives the relabelling

  SendMessageW(list_, LB_SETCURSEL, 2, 0);  // the user's own choice
  g_flag_at_selection.clear();
  append_session_line(line);
  EXPECT_EQ(items().front(), L"\u25CF 2024-07-01   08:00:00   (2)");
  EXPECT_EQ(selection(), 2);
  EXPECT_EQ(items().size(), 4u);

  // Clicking any entry while recording does nothing.
  open_history_entry(3);
  EXPECT_TRUE(g_lines.empty());

  g_capture_running = false;
  select_current_session_in_history();
  EXPECT_EQ(items().front(), L"2024-07-01   08:00:00   (2)");
  EXPECT_EQ(selection(), 0);
  for (bool raised : g_flag_at_selection) EXPECT_TRUE(raised);
}

TEST_F(HistoryWindowTest, ViewingAfterAnEmptyNewSessionDeletesItsFile) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-07-01_08-00-00"));
  g_session_open = true;
  const std::u16string fresh = current_session_path();
  ASSERT_TRUE(exists(fresh));
  open_history_entry(0);  // the current session itself: nothing
  EXPECT_TRUE(exists(fresh));
  EXPECT_EQ(g_updates, 0);

  open_history_entry(3);
  EXPECT_FALSE(exists(fresh));
  EXPECT_FALSE(g_session_open);
  EXPECT_EQ(items().size(), 3u);
  EXPECT_EQ(selection(), 2);
  EXPECT_EQ(g_lines.size(), 3u);
  select_current_session_in_history();
  EXPECT_EQ(selection(), LB_ERR);
}

TEST_F(HistoryWindowTest, DeleteAsksWithTheQuestionBoxAndNoKeepsTheFile) {
  g_box = BoxSeen{};
  g_box_answer = IDNO;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, answer_box);
  delete_history_entry(host_, 1);
  KillTimer(nullptr, timer);
  ASSERT_TRUE(g_box.shown);
  EXPECT_EQ(g_box.caption, L"Sessions");
  EXPECT_EQ(g_box.text, L"Delete this record from the history?");
  EXPECT_TRUE(g_box.has_yes);
  EXPECT_TRUE(g_box.has_no);
  EXPECT_TRUE(exists(may2_));
  EXPECT_EQ(items().size(), 3u);
}

TEST_F(HistoryWindowTest, DeleteWithYesRemovesTheFileAndTheItem) {
  g_box = BoxSeen{};
  g_box_answer = IDYES;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, answer_box);
  delete_history_entry(host_, 1);
  KillTimer(nullptr, timer);
  ASSERT_TRUE(g_box.shown);
  EXPECT_FALSE(exists(may2_));
  EXPECT_EQ(items(),
            (std::vector<std::wstring>{L"notes      (0)", L"2024-05-01   09:00:00   (3)"}));
  EXPECT_EQ(selection(), LB_ERR);
}

TEST_F(HistoryWindowTest, DeletingTheCurrentSessionClosesItAndKeepsThePanels) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-07-01_08-00-00"));
  g_session_open = true;
  const std::u16string path = current_session_path();
  TranscriptLine line;
  line.text = u"kept on screen";
  append_session_line(line);
  append_final(recognized_panel, PanelLine{0, 0, false, line.text});

  g_box_answer = IDYES;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, answer_box);
  delete_history_entry(host_, 0);
  KillTimer(nullptr, timer);
  EXPECT_FALSE(session_file_open());
  EXPECT_FALSE(g_session_open);
  EXPECT_EQ(g_updates, 1);
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(items().size(), 3u);
  EXPECT_EQ(panel_text_of(recognized_panel), L"kept on screen\r");
}

TEST_F(HistoryWindowTest, NothingIsAskedWithoutASelection) {
  g_box = BoxSeen{};
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, answer_box);
  delete_history_entry(host_, -1);
  delete_history_entry(host_, 3);
  MSG message;
  const ULONGLONG until = GetTickCount64() + 300;  // a box would have come up by now
  while (GetTickCount64() < until) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(10);
  }
  KillTimer(nullptr, timer);
  EXPECT_FALSE(g_box.shown);
  EXPECT_EQ(items().size(), 3u);
}

// The shell's folder window is a process of its own that outlives this test. Under Wine every
// process inherits the test's error output at the Unix level, so a folder window left open would
// keep that output open and whoever reads it (ctest) would wait for the window to close. The
// explorer processes that appear while the folder is opened are ended again.
std::set<DWORD> explorer_processes() {
  std::set<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0 ||
        lstrcmpiW(entry.szExeFile, L"winefile.exe") == 0) {
      ids.insert(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return ids;
}

void end_new_explorers(const std::set<DWORD>& before) {
  // The folder window may take a moment to start; collect for a while, then end what is new.
  for (int round = 0; round < 20; ++round) {
    Sleep(100);
    for (DWORD id : explorer_processes()) {
      if (before.count(id)) continue;
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
      if (process == nullptr) continue;
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 2000);
      CloseHandle(process);
    }
  }
}

TEST_F(HistoryWindowTest, OpeningTheFolderCreatesItFirst) {
  const std::u16string created = folder_ + u"\\history";
  const std::set<DWORD> before = explorer_processes();
  EXPECT_TRUE(open_folder_in_shell(folder_, L"history"));
  const DWORD attributes = GetFileAttributesW(wide(created));
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(open_folder_in_shell(folder_, L"history"));  // an existing folder is fine
  end_new_explorers(before);
  RemoveDirectoryW(wide(created));
}

}  // namespace
}  // namespace colloquor
