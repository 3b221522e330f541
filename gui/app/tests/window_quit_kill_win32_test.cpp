// Closing the window ends a worker that ignores "Q": after the short wait the job object is
// closed, which kills it.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "app/main_window_win32.h"
#include "app/settings_win32.h"
#include "quit_stand_in.h"

namespace colloquor {
namespace {

const quit_test::StandIn stand_in;

TEST(WindowQuit, AWorkerThatIgnoresQuitIsKilledWithTheJob) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ASSERT_TRUE(register_main_window_class(GetModuleHandleW(nullptr)));
  const std::wstring folder = quit_test::temp_folder(L"quit-kill");
  set_settings_folder(quit_test::u16(folder));
  HWND window = create_main_window(GetModuleHandleW(nullptr));
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(quit_test::start_stand_in(window, quit_test::kDeafFlag, folder));
  const HANDLE process = worker_process_information().hProcess;
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  DestroyWindow(window);
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(worker_job(), nullptr);
  detach_worker_threads();
}

}  // namespace
}  // namespace colloquor
