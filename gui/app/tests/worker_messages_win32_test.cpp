// Worker lines reaching a real window: a scripted worker started through real pipes, read by the
// reader thread, dispatched to the window's controls (status line, progress bar, language and
// speaker controls, model lists, rich-edit panels). Operations owned by other parts of the window
// (options frame, settings, capture, session file) are recorded instead.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/control_ids.h"
#include "app/worker_messages_view_win32.h"
#include "transcript/panel_win32.h"
#include "worker_link/reader_win32.h"

namespace colloquor {
namespace {

// Started as "<this test> --scripted-worker": a worker's start-up and a short conversation, then
// the end of its output. Runs before GoogleTest's main when the flag is present.
constexpr char kScript[] =
    "S\tChecking packages...\n"
    "D\t40\tDownloading NLLB-200 1.3B: 40%\n"
    "D\t-1\t\n"
    "N\tTranslation model unavailable: no memory\n"
    "K\t0\tnllb13\tNLLB-200 1.3B\t2700\t0\n"
    "K\t1\tnllb33\tNLLB-200 3.3B\t6600\t0\n"
    "K\t0\tnllb13\tNLLB-200 1.3B\t2700\t1\n"
    "K\t1\tmadlad3b\tMADLAD-400 3B\t12000\t0\n"
    "M\tresnet34\n"
    "C\t0\tresnet34\tResNet34\t25\t0\n"
    "C\t1\tcampp\tCAM++\t28\t0\n"
    "S\tready (CPU)\n"
    "P\t0\t0\ten\tHel\n"
    "T\t0\t0\t\t\n"
    "F\t0\t0\ten\tHello.\n"
    "F\t0\t0\ten\tHow are you?\n"
    "U\t0\t0\tru\t\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.\n"
    "P\t1\t2\tde\tnoch nicht\n"
    "F\t1\t2\tde\t\n"
    "U\t1\t2\t\t\n";

struct ScriptedWorker {
  ScriptedWorker() {
    if (std::wcsstr(GetCommandLineW(), L"--scripted-worker") == nullptr) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    // Written in uneven pieces, as a pipe may deliver them.
    const std::size_t total = sizeof(kScript) - 1;
    for (std::size_t at = 0; at < total;) {
      const std::size_t piece = std::min<std::size_t>(37, total - at);
      DWORD written = 0;
      WriteFile(out, kScript + at, static_cast<DWORD>(piece), &written, nullptr);
      at += piece;
    }
    ExitProcess(0);
  }
} scripted_worker;

struct TestView : ControlsView {
  using ControlsView::ControlsView;
  std::vector<std::u16string> statuses;
  std::vector<TranscriptLine> session;
  std::vector<std::string> calls;
  bool capturing = false;

  void set_status(std::u16string_view text) override {
    statuses.emplace_back(text);
    ControlsView::set_status(text);
  }
  SessionKey current_session() override { return 1; }
  void append_session_line(SessionKey, const TranscriptLine& line) override {
    session.push_back(line);
  }
  void release_session(SessionKey) override {}
  std::uint64_t now_ms() override { return GetTickCount64(); }
  std::uint64_t last_audio_ms(int) override { return 0; }
  bool capture_running() override { return capturing; }
  void stop_capture() override { capturing = false, calls.push_back("stop_capture"); }
  void send_options() override { calls.push_back("send_options"); }
  void update_controls() override { calls.push_back("update_controls"); }
  void save_settings() override { calls.push_back("save_settings"); }
  void apply_capture_options_with_saving() override { calls.push_back("apply_capture_options"); }
};

WorkerState* test_state = nullptr;
TestView* test_view = nullptr;
int handled_ends = 0;

LRESULT CALLBACK test_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_WORKER_LINE) {
    const std::unique_ptr<WorkerLine> line = take_worker_line(lparam);
    if (line->kind == 'X') ++handled_ends;
    handle_worker_line(*test_state, *test_view, *line);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

std::wstring text_of(HWND control) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(control, buffer, 1024);
  return buffer;
}

std::wstring rich_text(HWND control) {
  GETTEXTLENGTHEX length{GTL_DEFAULT, 1200};
  const LRESULT n = SendMessageW(control, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
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

std::vector<std::wstring> combo_items(HWND combo) {
  std::vector<std::wstring> items;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t buffer[256] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
    items.emplace_back(buffer);
  }
  return items;
}

class WindowWorkerLines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    LoadLibraryW(L"Msftedit.dll");
    INITCOMMONCONTROLSEX common{sizeof(common), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&common);
    WNDCLASSW cls{};
    cls.lpfnWndProc = test_window_proc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"WorkerLinesTestWindow";
    RegisterClassW(&cls);
  }

  void SetUp() override {
    window_ = CreateWindowExW(0, L"WorkerLinesTestWindow", L"worker lines",
                              WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 700, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    add(L"STATIC", L"Starting the recognizer...", 0, kIdStatusLine, 10, 10, 600, 20);
    HWND bar = add(PROGRESS_CLASSW, L"", PBS_SMOOTH, kIdDownloadProgress, 10, 32, 600, 8);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    ShowWindow(bar, SW_HIDE);
    HWND languages = add(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL,
                         kIdTranslationLanguageList, 10, 50, 150, 200);
    for (const wchar_t* name : {L"No translation", L"Russian", L"English"}) {
      SendMessageW(languages, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendMessageW(languages, CB_SETCURSEL, 2, 0);
    add(L"BUTTON", L"\u21C4", BS_PUSHBUTTON, kIdSwapButton, 170, 50, 40, 26);
    add(L"BUTTON", L"Capture the other side (system audio)", BS_AUTOCHECKBOX, kIdSystemAudioCheck,
        10, 80, 300, 26);
    add(L"BUTTON", L"One interlocutor", BS_AUTORADIOBUTTON | WS_GROUP, kIdOneInterlocutorRadio, 10,
        110, 150, 26);
    add(L"BUTTON", L"Several (detect voices)", BS_AUTORADIOBUTTON, kIdSeveralVoicesRadio, 170, 110,
        210, 26);
    CheckDlgButton(window_, kIdOneInterlocutorRadio, BST_CHECKED);
    add(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL, kIdSpeakerModelList, 10, 140, 400, 300);
    add(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL, kIdTranslationModelList, 10, 170, 400,
        300);
    const DWORD rich = WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
    recognized_.control = add(L"RICHEDIT50W", L"", rich, kIdRecognizedPanel, 10, 200, 800, 200);
    translation_.control = add(L"RICHEDIT50W", L"", rich, kIdTranslationPanel, 10, 410, 800, 200);

    view_ = std::make_unique<TestView>(window_, state_, recognized_, translation_);
    test_state = &state_;
    test_view = view_.get();
    handled_ends = 0;
  }

  void TearDown() override {
    DestroyWindow(window_);
    test_state = nullptr;
    test_view = nullptr;
  }

  HWND add(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w,
           int h) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  }
  HWND item(int id) const { return GetDlgItem(window_, id); }

  void post(char kind, int channel, int number, std::string language, std::u16string text) {
    auto* line = new WorkerLine;
    line->kind = kind;
    line->channel = channel;
    line->number = number;
    line->language = std::move(language);
    line->text = std::move(text);
    ASSERT_TRUE(post_worker_line(window_, line));
  }
  void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  HWND window_ = nullptr;
  WorkerState state_;
  TranscriptPanel recognized_;
  TranscriptPanel translation_;
  std::unique_ptr<TestView> view_;
};

TEST_F(WindowWorkerLines, AScriptedWorkerThroughRealPipes) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr;
  ASSERT_TRUE(CreatePipe(&out_read, &out_write, &inherit, 0));
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --scripted-worker";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &process));
  CloseHandle(out_write);
  CloseHandle(process.hThread);
  std::thread reader(run_reader, window_, out_read);

  const DWORD deadline = GetTickCount() + 30000;
  while (handled_ends == 0 && GetTickCount() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    pump();
  }
  reader.join();
  CloseHandle(out_read);
  CloseHandle(process.hProcess);
  ASSERT_EQ(handled_ends, 1);

  // Status line: the ready text after "N", then the end of the worker.
  EXPECT_EQ(view_->statuses,
            (std::vector<std::u16string>{
                u"Checking packages...", u"Downloading NLLB-200 1.3B: 40%",
                u"Ready (CPU), translation unavailable. Press \"+ New session\", then Record.",
                u"The recognizer stopped (see worker.log next to the program)."}));
  EXPECT_EQ(text_of(item(kIdStatusLine)),
            L"The recognizer stopped (see worker.log next to the program).");
  EXPECT_FALSE(IsWindowVisible(item(kIdDownloadProgress)));

  // "N": translation switched off and locked.
  EXPECT_EQ(SendMessageW(item(kIdTranslationLanguageList), CB_GETCURSEL, 0, 0), 0);
  EXPECT_FALSE(IsWindowEnabled(item(kIdTranslationLanguageList)));
  EXPECT_FALSE(IsWindowEnabled(item(kIdSwapButton)));

  // Catalogs: the translation catalog was restarted by index 0; the speaker model is active.
  EXPECT_EQ(combo_items(item(kIdTranslationModelList)),
            (std::vector<std::wstring>{L"NLLB-200 1.3B  (2700 MB, installed)",
                                       L"MADLAD-400 3B  (12000 MB, will be downloaded)"}));
  EXPECT_EQ(SendMessageW(item(kIdTranslationModelList), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(combo_items(item(kIdSpeakerModelList)),
            (std::vector<std::wstring>{L"ResNet34  (25 MB, will be downloaded)",
                                       L"CAM++  (28 MB, will be downloaded)"}));
  EXPECT_EQ(SendMessageW(item(kIdSpeakerModelList), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(state_.active_speaker_model, u"resnet34");

  // Panels: two finished lines; the first one translated; the empty utterance left nothing.
  EXPECT_EQ(rich_text(item(kIdRecognizedPanel)), L"Hello.\rHow are you?\r");
  EXPECT_EQ(rich_text(item(kIdTranslationPanel)), L"Привет.\r");
  ASSERT_EQ(view_->session.size(), 2u);
  EXPECT_EQ(view_->session[0].text, u"Hello.");
  EXPECT_EQ(view_->session[0].translation, u"Привет.");
  EXPECT_EQ(view_->session[0].language, "en");
  EXPECT_EQ(view_->session[0].translation_language, "ru");
  // "How are you?" still waited for its translation when the output ended: saved as it is.
  EXPECT_EQ(view_->session[1].text, u"How are you?");
  EXPECT_TRUE(view_->session[1].translation.empty());
  ASSERT_EQ(state_.transcript_lines.size(), 2u);
  EXPECT_TRUE(state_.pending_finals[0].empty());
  EXPECT_TRUE(state_.pending_finals[1].empty());

  EXPECT_FALSE(state_.worker_ready);
  EXPECT_TRUE(state_.startup_finished);
  EXPECT_EQ(view_->calls, (std::vector<std::string>{"save_settings", "send_options",
                                                    "update_controls", "update_controls"}));
}

TEST_F(WindowWorkerLines, ProgressBarFullAtOneHundredFiftyAndHiddenByMinusOne) {
  post('D', 0, 150, "", u"Downloading small");
  pump();
  EXPECT_TRUE(IsWindowVisible(item(kIdDownloadProgress)));
  EXPECT_EQ(SendMessageW(item(kIdDownloadProgress), PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(text_of(item(kIdStatusLine)), L"Downloading small");
  post('D', 0, -1, "", u"");
  pump();
  EXPECT_FALSE(IsWindowVisible(item(kIdDownloadProgress)));
  EXPECT_EQ(text_of(item(kIdStatusLine)), L"Downloading small");
}

TEST_F(WindowWorkerLines, SpeakersUnavailableLocksOneInterlocutor) {
  CheckRadioButton(window_, kIdOneInterlocutorRadio, kIdSeveralVoicesRadio, kIdSeveralVoicesRadio);
  post('V', 0, 0, "", u"Speaker detection unavailable: x");
  pump();
  EXPECT_EQ(IsDlgButtonChecked(window_, kIdSeveralVoicesRadio), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(window_, kIdOneInterlocutorRadio), BST_CHECKED);
  EXPECT_FALSE(IsWindowEnabled(item(kIdSeveralVoicesRadio)));
  EXPECT_EQ(view_->calls, std::vector<std::string>{"apply_capture_options"});
}

TEST_F(WindowWorkerLines, LinesAreLabelledWhileTheOtherSideOrSeveralVoicesAreOn) {
  post('F', 0, 0, "en", u"plain");
  pump();
  CheckDlgButton(window_, kIdSystemAudioCheck, BST_CHECKED);
  post('F', 1, 2, "en", u"system audio on");
  pump();
  CheckDlgButton(window_, kIdSystemAudioCheck, BST_UNCHECKED);
  CheckRadioButton(window_, kIdOneInterlocutorRadio, kIdSeveralVoicesRadio, kIdSeveralVoicesRadio);
  post('P', 0, 3, "en", u"several voices");
  pump();
  EXPECT_EQ(rich_text(item(kIdRecognizedPanel)),
            L"plain\rThem 2: system audio on\rYou 3: several voices\r");
  state_.speakers_unavailable = true;  // "Several" no longer in effect
  post('P', 0, 3, "en", u"unlabelled again");
  pump();
  EXPECT_EQ(rich_text(item(kIdRecognizedPanel)),
            L"plain\rThem 2: system audio on\runlabelled again\r");
}

TEST_F(WindowWorkerLines, EndOfOutputStopsARunningCapture) {
  view_->capturing = true;
  post('X', 0, 0, "", u"");
  pump();
  EXPECT_FALSE(view_->capturing);
  EXPECT_EQ(view_->calls, (std::vector<std::string>{"stop_capture", "update_controls"}));
  EXPECT_EQ(text_of(item(kIdStatusLine)),
            L"The recognizer stopped (see worker.log next to the program).");
}

TEST_F(WindowWorkerLines, AnUnknownKindTouchesNoControl) {
  post('A', 1, 2, "en", u"audio?");
  pump();
  EXPECT_EQ(text_of(item(kIdStatusLine)), L"Starting the recognizer...");
  EXPECT_EQ(rich_text(item(kIdRecognizedPanel)), L"");
  EXPECT_TRUE(view_->calls.empty());
}

}  // namespace
}  // namespace colloquor
