// One run of Parlivo's real window inside a test program under Wine: the worker's input pipe read
// back frame by frame, the settings file as it is on disk, and the window driven as a user and the
// worker would drive it. Shared by the window's command and session-line tests.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/commands_win32.h"
#include "app/main_window_win32.h"
#include "app/settings_win32.h"
#include "app/window_state.h"
#include "app/worker_messages.h"
#include "audio/capture_control.h"
#include "transcript/session_file.h"
#include "worker_link/frame_writer.h"
#include "worker_link/worker_line.h"

namespace colloquor {
namespace {

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

HANDLE g_frames = nullptr;  // the read end of the worker's input

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    SetProcessDPIAware();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    ASSERT_TRUE(register_main_window_class(GetModuleHandleW(nullptr)));
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&g_frames, &write_end, nullptr, 1 << 20));
    set_worker_input(write_end);
  }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

struct Frame {
  char type = 0;
  std::string payload;
  bool operator==(const Frame& other) const {
    return type == other.type && payload == other.payload;
  }
};
std::ostream& operator<<(std::ostream& out, const Frame& frame) {
  return out << frame.type << "[" << frame.payload << "]";
}

bool read_exact(void* buffer, DWORD size) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(g_frames, bytes, size, &got, nullptr) || got == 0) return false;
    bytes += got;
    size -= got;
  }
  return true;
}

// Every frame sent since the last call: a marker frame goes out behind them, and the pipe is read
// up to it, so the answer is exact without waiting for a quiet moment.
std::vector<Frame> frames_sent() {
  constexpr char kMarker = '~';
  send_frame(kMarker, nullptr, 0);
  std::vector<Frame> frames;
  for (;;) {
    unsigned char header[5];
    if (!read_exact(header, 5)) break;
    const DWORD length =
        header[1] | header[2] << 8 | header[3] << 16 | static_cast<DWORD>(header[4]) << 24;
    Frame frame{static_cast<char>(header[0]), std::string(length, '\0')};
    if (length > 0 && !read_exact(frame.payload.data(), length)) break;
    if (frame.type == kMarker) break;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::wstring temp_folder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder =
      std::wstring(temp) + L"commands-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::string file_bytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void write_bytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// A settings file as a person would write it by hand: UTF-16 with its byte-order mark.
std::string utf16_file(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

// The file as the program left it: its byte-order mark, and its sections with their keys in
// file order. A file that is not UTF-16 reads as having no BOM and no sections.
struct SettingsOnDisk {
  bool utf16 = false;
  std::vector<std::wstring> sections;
  std::vector<std::pair<std::wstring, std::wstring>> app;  // key, value in file order
  std::wstring value(const std::wstring& key) const {
    for (const auto& [k, v] : app) {
      if (k == key) return v;
    }
    return L"<missing>";
  }
};

SettingsOnDisk read_settings(const std::wstring& path) {
  SettingsOnDisk disk;
  const std::string bytes = file_bytes(path);
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE || bytes.size() % 2 != 0) {
    return disk;
  }
  disk.utf16 = true;
  std::wstring text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                        static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  std::wstring section;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    start = end + 1;
    if (line.empty()) continue;
    if (line.front() == L'[') {
      section = line.substr(1, line.find(L']') - 1);
      disk.sections.push_back(section);
    } else if (section == L"app") {
      const std::size_t equals = line.find(L'=');
      disk.app.emplace_back(line.substr(0, equals),
                            equals == std::wstring::npos ? L"" : line.substr(equals + 1));
    }
  }
  return disk;
}

// One run of Parlivo's window with its settings in `folder`.
class ParlivoRun {
 public:
  explicit ParlivoRun(const std::wstring& folder) : settings_(folder + L"\\settings.ini") {
    set_settings_folder(u16(folder));
    window_state = WindowState{};
    worker_state = WorkerState{};
    speech_status = SpeechStatus{};
    window_ = create_main_window(GetModuleHandleW(nullptr));
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    frames_sent();  // whatever an earlier run left in the pipe
  }
  ~ParlivoRun() {
    DestroyWindow(window_);
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    detach_worker_threads();
    frames_sent();  // the quit frame
  }
  ParlivoRun(const ParlivoRun&) = delete;
  ParlivoRun& operator=(const ParlivoRun&) = delete;

  HWND window() const { return window_; }
  HWND item(int id) const { return GetDlgItem(window_, id); }
  SettingsOnDisk settings() const { return read_settings(settings_); }
  const std::wstring& settings_path() const { return settings_; }

  void click(int id) { SendMessageW(item(id), BM_CLICK, 0, 0); }
  // A list choice as the user makes it: the selection moves, then the list tells its parent.
  void choose(int id, int index) {
    SendMessageW(item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(item(id)));
  }
  // A choice with the mouse in a list's open drop-down: the list opens, the item is selected, the
  // list closes (CB_SHOWDROPDOWN sends the closing notification as a click does).
  void pick(int id, int index) {
    SendMessageW(item(id), CB_SHOWDROPDOWN, TRUE, 0);
    choose(id, index);
    SendMessageW(item(id), CB_SHOWDROPDOWN, FALSE, 0);
  }
  // A trackbar moved to `position`, then the notification it sends for `code`.
  void slide(int id, int position, int code) {
    SendMessageW(item(id), TBM_SETPOS, TRUE, position);
    SendMessageW(window_, WM_HSCROLL, MAKEWPARAM(code, position),
                 reinterpret_cast<LPARAM>(item(id)));
  }
  void worker_says(char kind, std::u16string text) { recognized(kind, 0, "", std::move(text)); }
  // A recognition line ("P", "T", "F", "U") of a channel, speaker 0.
  void recognized(char kind, int channel, std::string language, std::u16string text) {
    auto line = std::make_unique<WorkerLine>();
    line->kind = kind;
    line->channel = channel;
    line->language = std::move(language);
    line->text = std::move(text);
    SendMessageW(window_, WM_WORKER_LINE, 0, posted_worker_lines().give(std::move(line)));
  }
  void worker_ready() { worker_says('S', u"ready (CPU)"); }
  // A line of one channel with its language, as the worker reports recognized and translated text.
  void worker_says(char kind, int channel, const char* language, std::u16string text) {
    recognized(kind, channel, language, std::move(text));
  }

  // The keyboard as the user has it: the window in front and a control focused (false when this
  // display gives no keyboard focus), keys typed through SendInput, and the messages they make
  // run through the dialog manager as in Parlivo's message loop.
  bool bring_to_front() {
    SetForegroundWindow(window_);
    run_keyboard_messages();
    return GetForegroundWindow() == window_ && GetFocus() != nullptr;
  }
  bool focus(int id) {
    if (!bring_to_front()) return false;
    SetFocus(item(id));
    return GetFocus() == item(id);
  }
  void press(WORD key) {
    INPUT keys[2] = {};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = key;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
    run_keyboard_messages();
  }
  void run_keyboard_messages() {
    for (int round = 0; round < 15; ++round) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (IsDialogMessageW(window_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      Sleep(10);
    }
  }

  std::wstring text(int id) const {
    wchar_t buffer[512] = {};
    GetWindowTextW(item(id), buffer, 512);
    return buffer;
  }
  std::wstring status() const { return text(kIdStatusLine); }
  std::wstring label(Ctl which) const {
    wchar_t buffer[128] = {};
    GetWindowTextW(control(which), buffer, 128);
    return buffer;
  }
  bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
  bool checked(int id) const { return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  int selection(int id) const {
    return static_cast<int>(SendMessageW(item(id), CB_GETCURSEL, 0, 0));
  }
  int position(int id) const { return static_cast<int>(SendMessageW(item(id), TBM_GETPOS, 0, 0)); }

  // Dispatches posted messages until `done` holds after one of them, or about five seconds pass.
  template <typename Done>
  bool pump_until(Done done) {
    for (int i = 0; i < 500; ++i) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) return false;
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (done()) return true;
      }
      if (done()) return true;
      Sleep(10);
    }
    return false;
  }

 private:
  std::wstring settings_;
  HWND window_ = nullptr;
};

}  // namespace
}  // namespace colloquor
