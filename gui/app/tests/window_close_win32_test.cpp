// Destroying the main window: the session file is closed (an empty one removed), the worker gets
// the quit frame on its input pipe, and the message loop is told to end with code 0.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "app/main_window_win32.h"
#include "transcript/session_file.h"
#include "worker_link/bootstrap_win32.h"
#include "worker_link/frame_writer.h"

namespace colloquor {
namespace {

std::u16string to_u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

TEST(WindowClose, ClosesTheSessionSendsQuitAndPostsQuitMessage) {
  SetProcessDPIAware();
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  ASSERT_TRUE(register_main_window_class(instance));
  HWND window = create_main_window(instance);
  ASSERT_NE(window, nullptr);

  // A worker input that this test reads, in place of a started worker.
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  set_worker_input(write_end);
  ASSERT_TRUE(worker_input_ready());

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"window-close-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(create_session_file_in(to_u16(folder), u"2026-12-09_10-00-00"));
  const std::u16string session_path = current_session_path();
  const std::wstring session_wide(session_path.begin(), session_path.end());
  ASSERT_NE(GetFileAttributesW(session_wide.c_str()), INVALID_FILE_ATTRIBUTES);

  MSG stale;
  while (PeekMessageW(&stale, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
  DestroyWindow(window);

  EXPECT_FALSE(session_file_open());
  EXPECT_EQ(GetFileAttributesW(session_wide.c_str()), INVALID_FILE_ATTRIBUTES)
      << "a session without lines is removed";

  char frame[8] = {};
  DWORD got = 0;
  DWORD available = 0;
  for (int i = 0; i < 100 && available < 5; ++i) {
    PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr);
    if (available < 5) Sleep(20);
  }
  ASSERT_EQ(available, 5u) << "exactly one empty frame";
  ASSERT_TRUE(ReadFile(read_end, frame, 5, &got, nullptr));
  EXPECT_EQ(std::string(frame, 5), std::string("Q\0\0\0\0", 5));

  MSG quit;
  ASSERT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 0u);
  EXPECT_EQ(worker_job(), nullptr);

  RemoveDirectoryW(folder.c_str());
  detach_worker_threads();
}

}  // namespace
}  // namespace colloquor
