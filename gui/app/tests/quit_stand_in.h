// A stand-in worker for the window's shutdown tests: the test program started again with a flag
// reads frames from its standard input like the worker and reacts to "Q" in the chosen way. The
// flag is looked at before GoogleTest's main, so the child never runs the tests.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/main_window_win32.h"
#include "worker_link/bootstrap_win32.h"

namespace colloquor::quit_test {

// Takes a moment after "Q" (as a worker behind a relay does), then leaves a file and exits with 0.
inline constexpr wchar_t kSlowQuitFlag[] = L"--slow-quit";
// Never ends by itself: reads and ignores every frame, "Q" included.
inline constexpr wchar_t kDeafFlag[] = L"--deaf-worker";
inline constexpr DWORD kSlowQuitDelayMs = 300;

inline bool read_exact(HANDLE input, char* buffer, DWORD size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(input, buffer, size, &got, nullptr) || got == 0) return false;
    buffer += got;
    size -= got;
  }
  return true;
}

// The next frame's type, its payload skipped; 0 at the end of the input.
inline char next_frame(HANDLE input) {
  char header[5];
  if (!read_exact(input, header, 5)) return 0;
  DWORD length = static_cast<unsigned char>(header[1]) |
                 static_cast<unsigned char>(header[2]) << 8 |
                 static_cast<unsigned char>(header[3]) << 16 |
                 static_cast<DWORD>(static_cast<unsigned char>(header[4])) << 24;
  char skip[256];
  while (length > 0) {
    const DWORD piece = length < sizeof skip ? length : sizeof skip;
    if (!read_exact(input, skip, piece)) return 0;
    length -= piece;
  }
  return header[0];
}

struct StandIn {
  StandIn() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count < 2) return;
    const std::wstring flag = args[1];
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (flag == kSlowQuitFlag && count >= 3) {
      for (char type = next_frame(input); type != 0; type = next_frame(input)) {
        if (type != 'Q') continue;
        Sleep(kSlowQuitDelayMs);
        HANDLE marker = CreateFileW(args[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
        ExitProcess(0);
      }
      ExitProcess(3);
    }
    if (flag == kDeafFlag) {
      while (next_frame(input) != 0) {
      }
      Sleep(INFINITE);
    }
  }
};

inline std::wstring temp_folder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + name + L"-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

inline std::u16string u16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

// Starts this program as the worker, the way the bootstrap starts Python, and gives it to the
// window. False when it could not be started.
inline bool start_stand_in(HWND window, const std::wstring& arguments, const std::wstring& folder) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  LaunchPlan plan;
  plan.command_line = u16(L"\"" + std::wstring(self) + L"\" " + arguments);
  plan.data_root = u16(folder);
  plan.log_file = u16(folder + L"\\worker.log");
  LaunchedWorker launched;
  if (!launch_worker(plan, launched)) return false;
  hand_over_worker(window, launched);
  return true;
}

}  // namespace colloquor::quit_test
