// What the window has to say about its own making. On the test display nothing; from extra.cmake
// the same program runs again in a Wine environment where Msftedit.dll is switched off
// (COLLOQUOR_EXPECT_NO_RICH_EDIT=1): the window then comes up without its panels and says why.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/main_window_win32.h"
#include "app/window_state.h"

namespace colloquor {
namespace {

TEST(StartupNotices, AMissingRichEditLibraryLeavesThePanelsOutAndSaysSo) {
  SetProcessDPIAware();
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ASSERT_TRUE(register_main_window_class(GetModuleHandleW(nullptr)));
  const bool rich_edit_off = std::getenv("COLLOQUOR_EXPECT_NO_RICH_EDIT") != nullptr;

  HWND window = create_main_window(GetModuleHandleW(nullptr));
  ASSERT_NE(window, nullptr);
  if (rich_edit_off) {
    EXPECT_EQ(window_state.startup_notices,
              std::vector<std::u16string>{rich_edit_missing_status(ERROR_MOD_NOT_FOUND)});
    EXPECT_EQ(control(Ctl::RecognizedPanel), nullptr);
    EXPECT_EQ(control(Ctl::TranslationPanel), nullptr);
  } else {
    EXPECT_TRUE(window_state.startup_notices.empty());
    EXPECT_NE(control(Ctl::RecognizedPanel), nullptr);
  }
  // Everything else is there all the same.
  EXPECT_NE(control(Ctl::Record), nullptr);
  EXPECT_NE(control(Ctl::StatusLine), nullptr);
  DestroyWindow(window);
  detach_worker_threads();
}

}  // namespace
}  // namespace colloquor
