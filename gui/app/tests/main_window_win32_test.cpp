// The real main window, created as Parlivo creates it, read back through the controls themselves:
// which children exist in which order with which id, class, caption, style and font, their first
// state, where WM_SIZE puts them, the size limits and what the owner-drawn controls paint.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "app/main_window_win32.h"
#include "app/window_state.h"
#include "app/worker_messages.h"
#include "audio/capture_control.h"

namespace colloquor {
namespace {

HWND g_main = nullptr;

// One window for the whole program, as in Parlivo; destroyed when all tests have run.
class WindowEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    SetProcessDPIAware();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(register_main_window_class(instance));
    g_main = create_main_window(instance);
    ASSERT_NE(g_main, nullptr);
  }
  void TearDown() override {
    DestroyWindow(g_main);
    detach_worker_threads();
  }
};
const auto* const kWindowEnvironment = ::testing::AddGlobalTestEnvironment(new WindowEnvironment);

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(g_main, nullptr); }
};

int dpi() {
  HDC screen = GetDC(nullptr);
  int value = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return value;
}

std::vector<HWND> children_in_order() {
  std::vector<HWND> found;
  EnumChildWindows(
      g_main,
      [](HWND child, LPARAM list) -> BOOL {
        if (GetParent(child) == g_main)
          reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

std::wstring class_of(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring text_of(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

enum class Font { normal, large, heading };

// What each control must be, written out from the window's description, independent of the
// window's own creation table.
struct Expected {
  int id;
  const wchar_t* window_class;
  const wchar_t* caption;
  DWORD style;     // bits that must be set besides WS_CHILD
  DWORD ex_style;  // extended bits that must be set
  Font font;
};

constexpr DWORD V = WS_VISIBLE;
constexpr DWORD kCheck = V | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD kList = V | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST;
constexpr DWORD kPush = V | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kTrack = V | WS_TABSTOP | TBS_NOTICKS;
constexpr DWORD kPanel = V | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

const Expected kExpected[] = {
    {-1, L"STATIC", L"Microphone:", V, 0, Font::normal},
    {101, L"COMBOBOX", L"", kList, 0, Font::normal},
    {128, L"BUTTON", L"Use microphone", kCheck, 0, Font::normal},
    {-1, L"STATIC", L"Translation model:", V, 0, Font::normal},
    {130, L"COMBOBOX", L"", kList, 0, Font::normal},
    {-1, L"STATIC", L"Speaker model:", V, 0, Font::normal},
    {129, L"COMBOBOX", L"", kList, 0, Font::normal},
    {-1, L"STATIC", L"Other side from:", V, 0, Font::normal},
    {126, L"COMBOBOX", L"", kList, 0, Font::normal},
    {-1, L"STATIC", L"Speech language:", V, 0, Font::normal},
    {102, L"COMBOBOX", L"", kList, 0, Font::normal},
    {110, L"BUTTON", L"\u21C4", kPush, 0, Font::large},
    {-1, L"STATIC", L"Translate to:", V, 0, Font::normal},
    {109, L"COMBOBOX", L"", kList, 0, Font::normal},
    {132, L"STATIC", L"", V | SS_OWNERDRAW, 0, Font::normal},
    {-1, L"STATIC", L"Sessions", V, 0, Font::heading},
    {133, L"BUTTON", L"+ New session", V | WS_TABSTOP | BS_OWNERDRAW, 0, Font::normal},
    {131, L"LISTBOX", L"",
     V | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_WANTKEYBOARDINPUT,
     WS_EX_CLIENTEDGE, Font::normal},
    {103, L"BUTTON", L"Record", V | WS_DISABLED | WS_TABSTOP | BS_OWNERDRAW, 0, Font::normal},
    {104, L"BUTTON", L"Clear", kPush, 0, Font::normal},
    {105, L"BUTTON", L"Copy text", kPush, 0, Font::normal},
    {111, L"BUTTON", L"Copy translation", kPush, 0, Font::normal},
    {113, L"BUTTON", L"Save...", kPush, 0, Font::normal},
    {106, L"MSCTLS_PROGRESS32", L"", V, 0, Font::normal},
    {125, L"MSCTLS_PROGRESS32", L"", V, 0, Font::normal},
    {-1, L"STATIC", L"Microphone gain:", V, 0, Font::normal},
    {114, L"MSCTLS_TRACKBAR32", L"", kTrack, 0, Font::normal},
    {-1, L"STATIC", L"+0 dB", V, 0, Font::normal},
    {117, L"BUTTON", L"Auto gain (AGC)", kCheck, 0, Font::normal},
    {116, L"BUTTON", L"Noise suppression", kCheck, 0, Font::normal},
    {115, L"MSCTLS_TRACKBAR32", L"", kTrack, 0, Font::normal},
    {-1, L"STATIC", L"strength 50%", V, 0, Font::normal},
    {118, L"BUTTON", L"Boost +12 dB (quiet sources)", kCheck, 0, Font::normal},
    {119, L"BUTTON", L"Capture the other side (system audio)", kCheck, 0, Font::normal},
    {120, L"BUTTON", L"Other side speaks the translation language", kCheck, 0, Font::normal},
    {121, L"BUTTON", L"Speakers mode (echo filter)", kCheck, 0, Font::normal},
    {122, L"BUTTON", L"One interlocutor", V | WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 0,
     Font::normal},
    {123, L"BUTTON", L"Several (detect voices)", V | BS_AUTORADIOBUTTON, 0, Font::normal},
    {124, L"MSCTLS_TRACKBAR32", L"", kTrack, 0, Font::normal},
    {-1, L"STATIC", L"60%", V, 0, Font::normal},
    {107, L"STATIC", L"Starting the recognizer...", V, 0, Font::normal},
    {127, L"MSCTLS_PROGRESS32", L"", PBS_SMOOTH, 0, Font::normal},  // hidden at start
    {-1, L"STATIC", L"Recognized speech", V, 0, Font::heading},
    {108, L"RICHEDIT50W", L"", kPanel, WS_EX_CLIENTEDGE, Font::normal},
    {-1, L"STATIC", L"Translation", V, 0, Font::heading},
    {112, L"RICHEDIT50W", L"", kPanel, WS_EX_CLIENTEDGE, Font::normal},
};

// The type field of a button or static control, which is a number, not a set of bits.
DWORD type_field(const std::wstring& window_class, DWORD style) {
  if (window_class == L"BUTTON") return style & BS_TYPEMASK;
  if (window_class == L"STATIC") return style & SS_TYPEMASK;
  if (window_class == L"COMBOBOX") return style & 3;
  return 0;
}

// No session is open at start: the session's controls (creation numbers) are disabled, all but
// the microphone list, which stays usable while "Use microphone" is ticked.
bool disabled_without_session(std::size_t number) {
  const std::size_t numbers[] = {1,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 20, 26,
                                 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40};
  return std::find(std::begin(numbers), std::end(numbers), number) != std::end(numbers);
}

LOGFONTW font_of(HWND control) {
  LOGFONTW font = {};
  HFONT handle = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  if (handle != nullptr) GetObjectW(handle, sizeof font, &font);
  return font;
}

TEST_F(MainWindowTest, TopLevelWindowClassTitleStylesAndSize) {
  EXPECT_EQ(class_of(g_main), L"Parlivo");
  EXPECT_EQ(text_of(g_main), L"Colloquor");
  const DWORD style = GetWindowLongW(g_main, GWL_STYLE);
  EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, static_cast<DWORD>(WS_OVERLAPPEDWINDOW));
  EXPECT_TRUE(GetWindowLongW(g_main, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ(GetMenu(g_main), nullptr);
  EXPECT_EQ(GetClassLongPtrW(g_main, GCLP_HBRBACKGROUND),
            static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
  RECT outer{};
  GetWindowRect(g_main, &outer);
  EXPECT_EQ(outer.right - outer.left, MulDiv(1160, dpi(), 96));
  EXPECT_EQ(outer.bottom - outer.top, MulDiv(1080, dpi(), 96));
}

TEST_F(MainWindowTest, EveryControlInCreationOrderWithIdClassCaptionStyleAndFont) {
  const std::vector<HWND> children = children_in_order();
  ASSERT_EQ(children.size(), std::size(kExpected));
  for (std::size_t i = 0; i < children.size(); ++i) {
    const Expected& want = kExpected[i];
    const HWND child = children[i];
    SCOPED_TRACE(testing::Message() << "control #" << (i + 1));
    const std::wstring window_class = upper(class_of(child));
    EXPECT_EQ(window_class, want.window_class);
    if (want.id > 0) {
      EXPECT_EQ(GetDlgCtrlID(child), want.id);
      EXPECT_EQ(GetDlgItem(g_main, want.id), child);
    } else {
      EXPECT_EQ(GetDlgCtrlID(child), 0);  // labels are never addressed by id
    }
    // A drop-down list's window text is its selected item, checked with the lists' contents.
    if (window_class != L"COMBOBOX") {
      EXPECT_EQ(text_of(child), want.caption);
    }

    const DWORD style = GetWindowLongW(child, GWL_STYLE);
    DWORD flags = want.style & 0xFFFF0000u;  // the window-level bits
    if (window_class == L"COMBOBOX" || window_class == L"LISTBOX") {
      // A combo box hands its scroll bar on to its drop-down list, and a list without enough
      // items to scroll hides the bar and drops the bit.
      flags &= ~static_cast<DWORD>(WS_VSCROLL);
    }
    EXPECT_EQ(style & flags, flags) << std::hex << style;
    EXPECT_TRUE(style & WS_CHILD);
    EXPECT_EQ((style & WS_TABSTOP) != 0, (want.style & WS_TABSTOP) != 0);
    EXPECT_EQ((style & WS_DISABLED) != 0,
              (want.style & WS_DISABLED) != 0 || disabled_without_session(i + 1));
    EXPECT_EQ((style & WS_VISIBLE) != 0, (want.style & WS_VISIBLE) != 0);
    EXPECT_EQ((style & WS_GROUP) != 0, (want.style & WS_GROUP) != 0);
    EXPECT_EQ(type_field(window_class, style), type_field(want.window_class, want.style));
    const DWORD control_bits = want.style & 0xFFFFu;
    if (window_class != L"BUTTON" && window_class != L"STATIC" && window_class != L"COMBOBOX") {
      EXPECT_EQ(style & control_bits, control_bits) << std::hex << style;
    }
    if (window_class == L"MSCTLS_TRACKBAR32") {
      EXPECT_EQ(style & TBS_VERT, 0u);
    }
    // Labels reach 2 pixels into the row below; they are clipped so as not to paint over it.
    const bool label = window_class == L"STATIC" && type_field(window_class, style) == SS_LEFT;
    EXPECT_EQ((style & WS_CLIPSIBLINGS) != 0, label);
    const DWORD ex_style = GetWindowLongW(child, GWL_EXSTYLE);
    EXPECT_EQ(ex_style & want.ex_style, want.ex_style);

    // A trackbar draws no text and keeps no font to report; a rich-edit control answers with its
    // character formats instead (checked with the panels).
    if (window_class == L"MSCTLS_TRACKBAR32" || window_class == L"RICHEDIT50W") continue;
    const LOGFONTW font = font_of(child);
    EXPECT_STREQ(font.lfFaceName, L"Segoe UI");
    EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
    EXPECT_EQ(font.lfQuality, CLEARTYPE_QUALITY);
    EXPECT_EQ(font.lfWidth, 0);
    switch (want.font) {
      case Font::normal:
        EXPECT_EQ(font.lfHeight, -MulDiv(11, dpi(), 72));
        EXPECT_EQ(font.lfWeight, 400);
        break;
      case Font::large:
        EXPECT_EQ(font.lfHeight, -MulDiv(14, dpi(), 72));
        EXPECT_EQ(font.lfWeight, 400);
        break;
      case Font::heading:
        EXPECT_EQ(font.lfHeight, -MulDiv(10, dpi(), 72));
        EXPECT_EQ(font.lfWeight, 600);
        break;
    }
  }
}

int selection(int id) {
  return static_cast<int>(SendDlgItemMessageW(g_main, id, CB_GETCURSEL, 0, 0));
}
bool checked(int id) { return SendDlgItemMessageW(g_main, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

std::wstring item_text(int id, int index) {
  wchar_t text[256] = {};
  SendDlgItemMessageW(g_main, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
  return text;
}

TEST_F(MainWindowTest, LanguageListsHoldAutoOrNoneThenTheEightLanguages) {
  const wchar_t* names[] = {L"Russian", L"English",   L"German", L"French",
                            L"Spanish", L"Ukrainian", L"Polish", L"Italian"};
  for (int id : {102, 109}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(SendDlgItemMessageW(g_main, id, CB_GETCOUNT, 0, 0), 9);
    EXPECT_EQ(item_text(id, 0), id == 102 ? L"Auto" : L"No translation");
    EXPECT_EQ(SendDlgItemMessageW(g_main, id, CB_GETITEMDATA, 0, 0), -1);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(item_text(id, i + 1), names[i]);
      EXPECT_EQ(SendDlgItemMessageW(g_main, id, CB_GETITEMDATA, i + 1, 0), i);
    }
  }
}

TEST_F(MainWindowTest, FirstStartStateWithoutSettings) {
  EXPECT_EQ(selection(102), 1);  // Russian
  EXPECT_EQ(selection(109), 2);  // English
  EXPECT_EQ(item_text(101, selection(101)), L"System default");
  EXPECT_EQ(SendDlgItemMessageW(g_main, 101, CB_GETITEMDATA, 0, 0), -1);
  EXPECT_EQ(item_text(126, selection(126)), L"Default output device");
  EXPECT_EQ(SendDlgItemMessageW(g_main, 114, TBM_GETRANGEMIN, 0, 0), -10);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 114, TBM_GETRANGEMAX, 0, 0), 30);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 114, TBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 115, TBM_GETRANGEMIN, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 115, TBM_GETRANGEMAX, 0, 0), 100);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 115, TBM_GETPOS, 0, 0), 50);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 124, TBM_GETRANGEMIN, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 124, TBM_GETRANGEMAX, 0, 0), 100);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 124, TBM_GETPOS, 0, 0), 60);
  EXPECT_TRUE(checked(116));   // noise suppression
  EXPECT_TRUE(checked(117));   // AGC
  EXPECT_FALSE(checked(118));  // boost
  EXPECT_TRUE(checked(128));   // use microphone
  EXPECT_FALSE(checked(119));  // system audio
  EXPECT_TRUE(checked(120));   // other side speaks the translation language
  EXPECT_TRUE(checked(121));   // speakers mode
  EXPECT_TRUE(checked(122));   // one interlocutor
  EXPECT_FALSE(checked(123));
  for (int id : {106, 125, 127}) {
    PBRANGE range{};
    SendDlgItemMessageW(g_main, id, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0) << id;
    EXPECT_EQ(range.iHigh, 100) << id;
  }
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(g_main, 127)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(g_main, 103)));
  EXPECT_EQ(SendDlgItemMessageW(g_main, 131, LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(MainWindowTest, PanelsAreSetUpForLongTranscripts) {
  for (int id : {108, 112}) {
    SCOPED_TRACE(id);
    HWND panel = GetDlgItem(g_main, id);
    EXPECT_EQ(SendMessageW(panel, EM_GETLIMITTEXT, 0, 0), 2147483647);
    CHARFORMAT2W format = {};
    format.cbSize = sizeof format;
    SendMessageW(panel, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    EXPECT_EQ(format.yHeight, 280);
    EXPECT_EQ(format.crTextColor, RGB(30, 30, 30));
    EXPECT_STREQ(format.szFaceName, L"Segoe UI");
    EXPECT_EQ(format.dwEffects & (CFE_BOLD | CFE_ITALIC | CFE_UNDERLINE | CFE_AUTOCOLOR), 0u);
  }
}

RECT client_rect_of(int id) {
  RECT r{};
  HWND control = GetDlgItem(g_main, id);
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, g_main, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void set_client_size(int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, GetWindowLongW(g_main, GWL_STYLE), FALSE,
                     GetWindowLongW(g_main, GWL_EXSTYLE));
  SetWindowPos(g_main, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

TEST_F(MainWindowTest, SizingLaysOutTheReferenceClientArea) {
  if (dpi() != 96) GTEST_SKIP() << "the reference figures are for 96 dpi";
  set_client_size(1144, 1041);
  RECT client{};
  GetClientRect(g_main, &client);
  ASSERT_EQ(client.right, 1144);
  ASSERT_EQ(client.bottom, 1041);

  const RECT microphones = client_rect_of(101);
  EXPECT_EQ(microphones.right - microphones.left, 574);
  for (int bar : {106, 125}) {
    const RECT r = client_rect_of(bar);
    EXPECT_EQ(r.left, 950) << bar;
    EXPECT_EQ(r.right - r.left, 184) << bar;
  }
  const RECT recognized = client_rect_of(108);
  const RECT translation = client_rect_of(112);
  EXPECT_EQ(recognized.right - recognized.left, 874);
  EXPECT_EQ(translation.right - translation.left, 874);
  EXPECT_EQ(recognized.top, 394);
  EXPECT_EQ(recognized.bottom - recognized.top, 303);
  EXPECT_EQ(translation.top, 727);
  EXPECT_EQ(translation.bottom - translation.top, 304);
  const RECT sessions = client_rect_of(131);
  EXPECT_EQ(sessions.left, 10);
  EXPECT_EQ(sessions.top, 78);
  EXPECT_EQ(sessions.bottom, 1041 - 10);
}

TEST_F(MainWindowTest, TooSmallClientAreaKeepsTheMinimums) {
  if (dpi() != 96) GTEST_SKIP() << "the minimums are stated for 96 dpi";
  // Straight through WM_SIZE: the window's own size limit would not let SetWindowPos go this low.
  SendMessageW(g_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(1144, 300));
  EXPECT_EQ(client_rect_of(108).bottom - client_rect_of(108).top, 35);
  EXPECT_GE(client_rect_of(112).bottom - client_rect_of(112).top, 30);
  EXPECT_EQ(client_rect_of(131).bottom - client_rect_of(131).top, 300 - 88);
  EXPECT_EQ(client_rect_of(103).top, 146);  // rows do not move
  // The level bars keep 40 pixels; narrower, they go under the buttons instead of past the edge.
  SendMessageW(g_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(990, 1041));
  EXPECT_EQ(client_rect_of(106).right - client_rect_of(106).left, 40);
  EXPECT_EQ(client_rect_of(125).right - client_rect_of(125).left, 40);
  SendMessageW(g_main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(989, 1041));
  for (int bar : {106, 125}) {
    EXPECT_EQ(client_rect_of(bar).left, 260) << bar;
    EXPECT_EQ(client_rect_of(bar).right, 989 - 10) << bar;
    EXPECT_GT(client_rect_of(bar).top, client_rect_of(103).bottom) << bar;
  }
  set_client_size(1144, 1041);
}

TEST_F(MainWindowTest, MinimumTrackingSize) {
  MINMAXINFO info = {};
  SendMessageW(g_main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, MulDiv(860, dpi(), 96) + MulDiv(250, dpi(), 96));
  EXPECT_EQ(info.ptMinTrackSize.y, MulDiv(820, dpi(), 96));
}

std::vector<RECT> child_rects() {
  std::vector<RECT> rects;
  for (HWND child : children_in_order()) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, g_main, reinterpret_cast<POINT*>(&r), 2);
    rects.push_back(r);
  }
  return rects;
}

// Dragged to its smallest size, the window keeps every row where a wider one has it: only the
// controls that follow the width are narrower, though the echo filter's check box then ends
// beyond the right edge.
TEST_F(MainWindowTest, MinimumSizeKeepsEveryRowWhereAWiderWindowHasIt) {
  MINMAXINFO info = {};
  SendMessageW(g_main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  SetWindowPos(g_main, nullptr, 0, 0, info.ptMinTrackSize.x, info.ptMinTrackSize.y,
               SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
  RECT outer{}, client{};
  GetWindowRect(g_main, &outer);
  GetClientRect(g_main, &client);
  ASSERT_EQ(outer.right - outer.left, MulDiv(860, dpi(), 96) + MulDiv(250, dpi(), 96))
      << "a screen the stated minimum fits";
  const std::vector<RECT> narrow = child_rects();
  constexpr int kWider = 300;
  set_client_size(client.right + kWider, client.bottom);
  const std::vector<RECT> wide = child_rects();
  set_client_size(1144, 1041);

  ASSERT_EQ(narrow.size(), std::size(kExpected));
  ASSERT_EQ(wide.size(), std::size(kExpected));
  // Numbers in creation order: the four model and device lists, the level bars, the status line,
  // the download bar, the panels and their headings.
  const std::set<int> follow_width = {2, 5, 7, 9, 24, 25, 41, 42, 43, 44, 45, 46};
  constexpr int kUseMicrophone = 3;  // kept at the right edge
  for (std::size_t i = 0; i < narrow.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    SCOPED_TRACE(testing::Message() << "control " << number << " (" << kExpected[i].id << ")");
    EXPECT_EQ(narrow[i].top, wide[i].top);
    EXPECT_EQ(narrow[i].bottom, wide[i].bottom);
    EXPECT_EQ(narrow[i].left, wide[i].left - (number == kUseMicrophone ? kWider : 0));
    const bool moves_right_edge = follow_width.count(number) > 0 || number == kUseMicrophone;
    EXPECT_EQ(narrow[i].right, wide[i].right - (moves_right_edge ? kWider : 0));
  }
  const RECT echo = narrow[35];
  EXPECT_EQ(echo.left, MulDiv(250, dpi(), 96) + MulDiv(10, dpi(), 96) + MulDiv(640, dpi(), 96));
  EXPECT_EQ(echo.top, narrow[33].top);  // beside "Capture the other side"
}

TEST_F(MainWindowTest, SessionsListDeleteKeyIsHandledOtherKeysAreNot) {
  HWND list = GetDlgItem(g_main, 131);
  EXPECT_EQ(
      SendMessageW(g_main, WM_VKEYTOITEM, MAKEWPARAM(VK_DELETE, 0), reinterpret_cast<LPARAM>(list)),
      -2);
  for (WPARAM key : {WPARAM{'A'}, WPARAM{VK_RETURN}, WPARAM{VK_SPACE}}) {
    EXPECT_EQ(
        SendMessageW(g_main, WM_VKEYTOITEM, MAKEWPARAM(key, 0), reinterpret_cast<LPARAM>(list)), -1)
        << key;
  }
  EXPECT_EQ(SendMessageW(g_main, WM_VKEYTOITEM, MAKEWPARAM(VK_DELETE, 0),
                         reinterpret_cast<LPARAM>(GetDlgItem(g_main, 101))),
            -1);
}

// Draws one owner-drawn control into a memory bitmap through the window's WM_DRAWITEM.
class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height) {
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    bitmap_ = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    old_ = SelectObject(dc_, bitmap_);
    RECT all{0, 0, width, height};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  LRESULT draw(int id, UINT type, UINT state) {
    DRAWITEMSTRUCT item = {};
    item.CtlType = type;
    item.CtlID = id;
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = state;
    item.hwndItem = GetDlgItem(g_main, id);
    item.hDC = dc_;
    item.rcItem = RECT{0, 0, width_, height_};
    return SendMessageW(g_main, WM_DRAWITEM, id, reinterpret_cast<LPARAM>(&item));
  }
  COLORREF at(int x, int y) const { return GetPixel(dc_, x, y); }

 private:
  int width_, height_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

TEST_F(MainWindowTest, RecordButtonPaintsItsFillAndRoundMark) {
  if (dpi() != 96) GTEST_SKIP();
  Canvas disabled(140, 28);
  EXPECT_EQ(disabled.draw(103, ODT_BUTTON, ODS_DISABLED), TRUE);
  EXPECT_EQ(disabled.at(21, 14), RGB(190, 190, 190));  // centre of the mark
  EXPECT_EQ(disabled.at(120, 4), RGB(238, 238, 238));  // fill right of the caption
  EXPECT_EQ(disabled.at(0, 0), RGB(0, 0, 0));          // rounded corner left alone

  Canvas pressed(140, 28);
  pressed.draw(103, ODT_BUTTON, ODS_SELECTED);
  EXPECT_EQ(pressed.at(21, 14), RGB(222, 28, 28));
  EXPECT_EQ(pressed.at(120, 4), RGB(205, 205, 205));
}

TEST_F(MainWindowTest, NewSessionInvitesWhileNoSessionIsOpen) {
  Canvas invite(230, 32);
  EXPECT_EQ(invite.draw(133, ODT_BUTTON, 0), TRUE);
  EXPECT_EQ(invite.at(8, 16), RGB(255, 175, 40));
  EXPECT_EQ(invite.at(0, 16), RGB(0, 0, 0));  // inset by one pixel

  window_state.session_open = true;
  Canvas plain(230, 32);
  plain.draw(133, ODT_BUTTON, 0);
  window_state.session_open = false;
  EXPECT_EQ(plain.at(8, 16), RGB(238, 238, 238));

  Canvas disabled(230, 32);
  disabled.draw(133, ODT_BUTTON, ODS_DISABLED);
  EXPECT_EQ(disabled.at(8, 16), RGB(228, 228, 228));
}

TEST_F(MainWindowTest, NewSessionShowsAFocusRectangleWhenItHasTheKeyboard) {
  // The dotted rectangle inverts pixels of the fill along its edges, 3 pixels in at 96 dpi.
  auto inverted_on_the_edge = [](UINT state) {
    Canvas canvas(230, 32);
    canvas.draw(133, ODT_BUTTON, state);
    int changed = 0;
    const int in = MulDiv(3, dpi(), 96);
    for (int x = 20; x < 210; ++x) changed += canvas.at(x, in) != RGB(255, 175, 40);
    return changed;
  };
  EXPECT_EQ(inverted_on_the_edge(0), 0);
  EXPECT_GT(inverted_on_the_edge(ODS_FOCUS), 40);
}

HWND status_tooltip() {
  struct Search {
    HWND found = nullptr;
  } search;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM context) -> BOOL {
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (lstrcmpiW(name, TOOLTIPS_CLASSW) == 0 && GetWindow(window, GW_OWNER) == g_main) {
          reinterpret_cast<Search*>(context)->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(MainWindowTest, ALongStatusEndsInAnEllipsisAndShowsWholeInATooltip) {
  HWND status = GetDlgItem(g_main, 107);
  EXPECT_EQ(GetWindowLongW(status, GWL_STYLE) & SS_ELLIPSISMASK,
            static_cast<DWORD>(SS_ENDELLIPSIS));
  HWND tip = status_tooltip();
  ASSERT_NE(tip, nullptr);
  TTTOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  ASSERT_TRUE(SendMessageW(tip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool)));
  EXPECT_EQ(tool.uId, reinterpret_cast<UINT_PTR>(status));

  MINMAXINFO limits = {};
  SendMessageW(g_main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  SetWindowPos(g_main, nullptr, 0, 0, limits.ptMinTrackSize.x, limits.ptMinTrackSize.y,
               SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
  const std::wstring python =
      L"Python 3.10+ is required. Install it from https://www.python.org/downloads/ (tick \"Add "
      L"python.exe to PATH\") and start the app again.";
  auto tip_text = [&](const std::wstring& text) {
    SetWindowTextW(status, text.c_str());
    NMTTDISPINFOW info = {};
    info.hdr.hwndFrom = tip;
    info.hdr.code = TTN_GETDISPINFOW;
    SendMessageW(g_main, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return std::wstring(info.lpszText != nullptr ? info.lpszText : L"<none>");
  };
  // The text is wider than the line at the minimum width: the tooltip holds all of it.
  RECT line{};
  GetClientRect(status, &line);
  HDC dc = GetDC(status);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)));
  SIZE extent{};
  GetTextExtentPoint32W(dc, python.c_str(), static_cast<int>(python.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(status, dc);
  EXPECT_GT(extent.cx, line.right);
  EXPECT_EQ(tip_text(python), python);
  EXPECT_EQ(tip_text(L"Ready (CPU)."), L"") << "a text that fits needs no tooltip";
  SetWindowTextW(status, L"Starting the recognizer...");
  set_client_size(1144, 1041);
}

TEST_F(MainWindowTest, SpinnerStrongestDotFollowsThePhase) {
  if (dpi() != 96) GTEST_SKIP();
  const int saved = window_state.spinner_phase;
  window_state.spinner_phase = 0;
  Canvas top(22, 22);
  EXPECT_EQ(top.draw(132, ODT_STATIC, 0), TRUE);
  EXPECT_EQ(top.at(11, 4), RGB(37, 99, 235));
  EXPECT_NE(top.at(18, 11), RGB(37, 99, 235));
  EXPECT_EQ(top.at(0, 0), GetSysColor(COLOR_BTNFACE));

  window_state.spinner_phase = 3;
  Canvas right(22, 22);
  right.draw(132, ODT_STATIC, 0);
  EXPECT_EQ(right.at(18, 11), RGB(37, 99, 235));
  EXPECT_NE(right.at(11, 4), RGB(37, 99, 235));
  window_state.spinner_phase = saved;
}

TEST_F(MainWindowTest, OtherOwnerDrawnItemsGoToTheDefaultProcedure) {
  Canvas canvas(20, 20);
  EXPECT_EQ(canvas.draw(104, ODT_BUTTON, 0), FALSE);
}

TEST_F(MainWindowTest, TabMovesAmongTabStopsThroughTheDialogManager) {
  HWND microphone_list = GetDlgItem(g_main, 101);
  // The tab stops between them belong to the session, which is not open yet.
  HWND new_session = GetDlgItem(g_main, 133);
  ShowWindow(g_main, SW_SHOW);
  SetForegroundWindow(g_main);
  SetFocus(microphone_list);
  if (GetFocus() != microphone_list) GTEST_SKIP() << "no keyboard focus on this display";
  MSG tab = {microphone_list, WM_KEYDOWN, VK_TAB, 0x000F0001, 0, {}};
  EXPECT_TRUE(IsDialogMessageW(g_main, &tab));
  EXPECT_EQ(GetFocus(), new_session);
}

TEST_F(MainWindowTest, MessageLoopOffersKeysToTheDialogManagerAndEndsOnQuit) {
  HWND microphone_list = GetDlgItem(g_main, 101);
  ShowWindow(g_main, SW_SHOW);
  SetForegroundWindow(g_main);
  SetFocus(microphone_list);
  if (GetFocus() != microphone_list) GTEST_SKIP() << "no keyboard focus on this display";
  PostMessageW(microphone_list, WM_KEYDOWN, VK_TAB, 0x000F0001);
  PostQuitMessage(5);
  EXPECT_EQ(run_message_loop(g_main), 5);
  EXPECT_EQ(GetFocus(), GetDlgItem(g_main, 133));  // "+ New session", the next usable tab stop
}

}  // namespace
}  // namespace colloquor

namespace colloquor {
namespace {

TEST_F(MainWindowTest, SmallIconIsSetWhenTheModuleCarriesIconOne) {
  wchar_t here[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, here, MAX_PATH);
  std::wstring program(here, length);
  program = program.substr(0, program.find_last_of(L"\\/")) + L"\\Parlivo.exe";
  HMODULE resources = LoadLibraryExW(program.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (resources == nullptr) GTEST_SKIP() << "Parlivo.exe not built";
  EXPECT_EQ(SendMessageW(g_main, WM_GETICON, ICON_SMALL, 0), 0);
  set_small_icon(g_main, GetModuleHandleW(nullptr));  // this test program carries no icon
  EXPECT_EQ(SendMessageW(g_main, WM_GETICON, ICON_SMALL, 0), 0);
  set_small_icon(g_main, resources);
  EXPECT_NE(SendMessageW(g_main, WM_GETICON, ICON_SMALL, 0), 0);
}

}  // namespace
}  // namespace colloquor

namespace colloquor {
namespace {

bool shown(HWND control) { return (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0; }

TEST_F(MainWindowTest, SpinnerTurnsUntilStartupEndsAndAgainWhileSwitchingModels) {
  HWND spinner = GetDlgItem(g_main, 132);
  const WorkerState saved = worker_state;
  worker_state.startup_finished = false;
  worker_state.switching_model = false;
  window_state.spinner_phase = 11;
  SendMessageW(g_main, WM_TIMER, 1, 0);
  EXPECT_EQ(window_state.spinner_phase, 0);  // wraps after 11
  EXPECT_TRUE(shown(spinner));
  SendMessageW(g_main, WM_TIMER, 1, 0);
  EXPECT_EQ(window_state.spinner_phase, 1);

  SendMessageW(g_main, WM_TIMER, 2, 0);  // not the spinner's timer
  EXPECT_EQ(window_state.spinner_phase, 1);

  worker_state.startup_finished = true;
  SendMessageW(g_main, WM_TIMER, 1, 0);
  EXPECT_FALSE(shown(spinner));
  EXPECT_EQ(window_state.spinner_phase, 1);

  worker_state.switching_model = true;
  SendMessageW(g_main, WM_TIMER, 1, 0);
  EXPECT_TRUE(shown(spinner));
  EXPECT_EQ(window_state.spinner_phase, 2);

  worker_state.startup_finished = saved.startup_finished;
  worker_state.switching_model = saved.switching_model;
}

}  // namespace
}  // namespace colloquor

namespace colloquor {
namespace {

// What the Sessions list's pop-up menu offered, read from inside its modal loop.
struct MenuSeen {
  bool shown = false;
  UINT open_state = 0;
  UINT delete_state = 0;
  UINT folder_state = 0;
  int item_count = 0;
};
MenuSeen g_menu_seen;

void CALLBACK read_and_close_menu(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND popup = FindWindowW(L"#32768", nullptr);
  if (popup == nullptr) return;
  KillTimer(nullptr, timer);
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  g_menu_seen.shown = true;
  g_menu_seen.item_count = GetMenuItemCount(menu);
  g_menu_seen.open_state = GetMenuState(menu, 1, MF_BYCOMMAND);
  g_menu_seen.delete_state = GetMenuState(menu, 2, MF_BYCOMMAND);
  g_menu_seen.folder_state = GetMenuState(menu, 3, MF_BYCOMMAND);
  EndMenu();
}

MenuSeen right_click_sessions_list(POINT client_point) {
  HWND list = GetDlgItem(g_main, 131);
  POINT screen = client_point;
  ClientToScreen(list, &screen);
  g_menu_seen = MenuSeen{};
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, read_and_close_menu);
  SendMessageW(g_main, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list),
               MAKELPARAM(screen.x, screen.y));
  KillTimer(nullptr, timer);
  return g_menu_seen;
}

class SessionsMenuTest : public MainWindowTest {
 protected:
  void SetUp() override {
    ShowWindow(g_main, SW_SHOW);
    set_client_size(1144, 1041);
    HWND list = GetDlgItem(g_main, 131);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"2026-12-01 10:00"));
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"2026-12-02 11:00"));
    item_height_ = static_cast<int>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
  }
  void TearDown() override { SendMessageW(GetDlgItem(g_main, 131), LB_RESETCONTENT, 0, 0); }
  int item_height_ = 0;
};

TEST_F(SessionsMenuTest, EmptySpaceGreysOpenAndDeleteButKeepsTheFolder) {
  const MenuSeen seen = right_click_sessions_list(POINT{20, item_height_ * 5});
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.item_count, 4);  // Open, Delete, separator, folder
  EXPECT_TRUE(seen.open_state & MF_GRAYED);
  EXPECT_TRUE(seen.delete_state & MF_GRAYED);
  EXPECT_FALSE(seen.folder_state & MF_GRAYED);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 131, LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(SessionsMenuTest, ClickOnAnEntrySelectsItQuietlyAndOffersOpenAndDelete) {
  const MenuSeen seen = right_click_sessions_list(POINT{20, item_height_ + item_height_ / 2});
  ASSERT_TRUE(seen.shown);
  EXPECT_FALSE(seen.open_state & MF_GRAYED);
  EXPECT_FALSE(seen.delete_state & MF_GRAYED);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 131, LB_GETCURSEL, 0, 0), 1);
  EXPECT_FALSE(window_state.selecting_by_program);
}

TEST_F(SessionsMenuTest, NoMenuWhileRecording) {
  capture_running.set(true);
  const MenuSeen seen = right_click_sessions_list(POINT{20, item_height_ / 2});
  capture_running.set(false);
  EXPECT_FALSE(seen.shown);
  EXPECT_EQ(SendDlgItemMessageW(g_main, 131, LB_GETCURSEL, 0, 0), LB_ERR);
}

}  // namespace
}  // namespace colloquor
