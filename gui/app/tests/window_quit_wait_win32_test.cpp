// Closing the window gives a worker that needs a moment after "Q" the time to end by itself
// before the job object is closed, which would kill it.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "app/main_window_win32.h"
#include "app/settings_win32.h"
#include "quit_stand_in.h"

namespace colloquor {
namespace {

const quit_test::StandIn stand_in;

TEST(WindowQuit, AWorkerSlowToQuitEndsByItselfBeforeTheJobIsClosed) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ASSERT_TRUE(register_main_window_class(GetModuleHandleW(nullptr)));
  const std::wstring folder = quit_test::temp_folder(L"quit-wait");
  set_settings_folder(quit_test::u16(folder));
  HWND window = create_main_window(GetModuleHandleW(nullptr));
  ASSERT_NE(window, nullptr);

  const std::wstring marker = folder + L"\\quit-seen";
  DeleteFileW(marker.c_str());
  ASSERT_TRUE(quit_test::start_stand_in(
      window, std::wstring(quit_test::kSlowQuitFlag) + L" \"" + marker + L"\"", folder));
  const HANDLE process = worker_process_information().hProcess;
  ASSERT_NE(process, nullptr);

  DestroyWindow(window);
  ASSERT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  DWORD exit_code = 99;
  GetExitCodeProcess(process, &exit_code);
  EXPECT_EQ(exit_code, 0u) << "ended by itself after reading the quit frame, not killed";
  EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(worker_job(), nullptr);
  detach_worker_threads();
}

}  // namespace
}  // namespace colloquor
