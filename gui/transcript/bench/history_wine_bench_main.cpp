// How long the Sessions list takes on real controls and files: listing a history folder of 100 and
// 1 000 session files, and viewing a saved session of 100, 1 000 and 3 000 lines in the two
// rich-edit panels, in milliseconds. Run under Wine: wine history_wine_bench.exe
#include <windows.h>
#include <richedit.h>

#include <cstdio>
#include <string>
#include <vector>

#include "transcript/history_win32.h"
#include "transcript/panel_win32.h"
#include "shared/win32_text.h"

using namespace colloquor;

namespace {

double now_ms() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1e3 / static_cast<double>(frequency.QuadPart);
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void write_file(const std::u16string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// A session of `lines` rows alternating between the two channels, with labels and translations.
std::string session_bytes(int index, int lines) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "2024-%02d-%02d_%02d-%02d-00", 1 + index % 12, 1 + index % 28,
                index % 24, index % 60);
  std::string bytes = std::string("#V1\t") + stamp + "\n";
  for (int i = 0; i < lines; ++i) {
    bytes += "U\t" + std::to_string(i % 2) + "\t" + std::to_string(1 + i % 3) + "\t1\tru\ten\t";
    bytes += "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, this is line " + std::to_string(i);
    bytes += "\tHello, this is the translation of line " + std::to_string(i) + "\n";
  }
  return bytes;
}

void clear_folder(const std::u16string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide(folder + u"\\*"), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW(
        wide(folder + u"\\" + std::u16string(reinterpret_cast<const char16_t*>(found.cFileName))));
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

int wmain() {
  LoadLibraryW(L"Msftedit.dll");
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND host = CreateWindowExW(0, L"STATIC", L"history bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                              0, 1150, 1050, nullptr, nullptr, instance, nullptr);
  HWND sessions = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY, 10, 78, 230, 950,
                                  host, nullptr, instance, nullptr);
  HWND status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 288, 340, 846, 20, host,
                                nullptr, instance, nullptr);
  const DWORD panel_style =
      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
  recognized_panel.control = CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"", panel_style,
                                             260, 394, 874, 303, host, nullptr, instance, nullptr);
  translation_panel.control = CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"", panel_style,
                                              260, 727, 874, 304, host, nullptr, instance, nullptr);
  for (HWND panel : {panel_control(recognized_panel), panel_control(translation_panel)}) {
    SendMessageW(panel, EM_LIMITTEXT, 2147483647, 0);
  }
  static bool session_open = false;
  static bool selecting = false;
  static std::vector<TranscriptLine> lines;
  HistoryWindow window;
  window.window = host;
  window.sessions_list = sessions;
  window.status_line = status;
  window.session_open = &session_open;
  window.selecting_by_program = &selecting;
  window.transcript_lines = &lines;
  set_history_window(window);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::u16string folder = std::u16string(reinterpret_cast<const char16_t*>(temp)) +
                                u"colloquor-history-bench-" +
                                u16(std::to_string(GetCurrentProcessId()));
  CreateDirectoryW(wide(folder), nullptr);

  for (int files : {100, 1000}) {
    clear_folder(folder);
    for (int i = 0; i < files; ++i) {
      write_file(folder + u"\\s" + u16(std::to_string(i)) + u".txt", session_bytes(i, 20));
    }
    const double start = now_ms();
    load_history_from(folder);
    std::printf("list a folder of %4d sessions of 20 lines: %8.1f ms\n", files, now_ms() - start);
  }

  for (int count : {100, 1000, 3000}) {
    clear_folder(folder);
    write_file(folder + u"\\big.txt", session_bytes(0, count));
    write_file(folder + u"\\small.txt", session_bytes(1, 1));
    load_history_from(folder);
    const int big = history_list.entries[0].path == folder + u"\\big.txt" ? 0 : 1;
    open_history_entry(1 - big);  // the panels start from a small session, as after a click
    const double start = now_ms();
    open_history_entry(big);
    std::printf("view a session of %4d lines:               %8.1f ms\n", count, now_ms() - start);
  }

  clear_folder(folder);
  RemoveDirectoryW(wide(folder));
  DestroyWindow(host);
  return 0;
}
