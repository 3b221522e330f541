// The panels in a real rich-edit control: what is written, in which format, where the unfinished
// lines go, and that a reader who scrolled up keeps the view. Everything is read back with the
// control's own messages.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <string>

#include "transcript/panel_win32.h"

namespace colloquor {
namespace {

class PanelControlTest : public ::testing::Test {
 protected:
  // One visible host for all cases: a top-level window costs seconds to create under Wine.
  static void SetUpTestSuite() {
    LoadLibraryW(L"Msftedit.dll");
    host_ = CreateWindowExW(0, L"STATIC", L"panel host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                            700, 400, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  static void TearDownTestSuite() { DestroyWindow(host_); }

  void SetUp() override {
    ASSERT_NE(host_, nullptr);
    control_ = CreateWindowExW(
        WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0, 0, 600,
        300, host_, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(control_, nullptr);
    SendMessageW(control_, EM_LIMITTEXT, 2147483647, 0);
    CHARFORMAT2W base{};
    base.cbSize = sizeof(base);
    base.dwMask = CFM_SIZE | CFM_COLOR | CFM_FACE;
    base.yHeight = 280;
    base.crTextColor = RGB(30, 30, 30);
    wcscpy(base.szFaceName, L"Segoe UI");
    SendMessageW(control_, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&base));
    panel_.control = control_;
  }
  void TearDown() override { DestroyWindow(control_); }

  std::wstring text() const {
    GETTEXTLENGTHEX length{GTL_DEFAULT, 1200};
    const LRESULT n =
        SendMessageW(control_, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
    std::wstring out(static_cast<std::size_t>(n) + 1, L'\0');
    GETTEXTEX request{};
    request.cb = static_cast<DWORD>(out.size() * sizeof(wchar_t));
    request.flags = GT_DEFAULT;
    request.codepage = 1200;
    SendMessageW(control_, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&request),
                 reinterpret_cast<LPARAM>(out.data()));
    out.resize(wcslen(out.c_str()));
    return out;
  }
  LONG length() const {
    GETTEXTLENGTHEX request{GTL_DEFAULT, 1200};
    return static_cast<LONG>(
        SendMessageW(control_, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&request), 0));
  }
  // The format of characters [start, end): consistent colour and bold, or a mask saying otherwise.
  CHARFORMAT2W format_of(LONG start, LONG end) const {
    SendMessageW(control_, EM_SETSEL, start, end);
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    SendMessageW(control_, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return format;
  }
  void expect_run(const std::wstring& piece, COLORREF colour, bool bold) const {
    const std::wstring all = text();
    const std::size_t at = all.find(piece);
    ASSERT_NE(at, std::wstring::npos) << "missing: " << std::string(piece.begin(), piece.end());
    const CHARFORMAT2W f = format_of(static_cast<LONG>(at), static_cast<LONG>(at + piece.size()));
    EXPECT_TRUE(f.dwMask & CFM_COLOR) << "mixed colours";
    EXPECT_TRUE(f.dwMask & CFM_BOLD) << "mixed weights";
    EXPECT_EQ(f.crTextColor, colour);
    EXPECT_EQ((f.dwEffects & CFE_BOLD) != 0, bold);
  }
  int first_visible_line() const {
    return static_cast<int>(SendMessageW(control_, EM_GETFIRSTVISIBLELINE, 0, 0));
  }
  void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  static inline HWND host_ = nullptr;
  HWND control_ = nullptr;
  TranscriptPanel panel_;
};

TEST_F(PanelControlTest, LabelledLineIsBoldLabelThenTextInTheSpeakersColour) {
  append_final(panel_, {1, 3, true, u"Hello there"});
  EXPECT_EQ(text(), L"Them 3: Hello there\r");
  expect_run(L"Them 3: ", 0x3228BE, true);
  expect_run(L"Hello there", 0x3228BE, false);
  EXPECT_EQ(panel_.partial_start, length());
}

TEST_F(PanelControlTest, UnfinishedLinesUseTheLightenedColour) {
  set_partial(panel_, 1, {1, 3, true, u"still talking"});
  EXPECT_EQ(text(), L"Them 3: still talking\r");
  expect_run(L"Them 3: ", lighten_colour(0x3228BE), true);
  expect_run(L"still talking", lighten_colour(0x3228BE), false);
  EXPECT_EQ(panel_.partial_start, 0);
}

TEST_F(PanelControlTest, UnlabelledAndSpeakerOneLines) {
  append_final(panel_, {0, 4, false, u"plain"});
  append_final(panel_, {1, 0, true, u"zero"});
  append_final(panel_, {1, 1, true, u"one"});
  EXPECT_EQ(text(), L"plain\rThem: zero\rThem: one\r");
  expect_run(L"plain", 0x1E1E1E, false);
  expect_run(L"zero", 0x328214, false);
  expect_run(L"one", 0x328214, false);
}

TEST_F(PanelControlTest, AFinalGoesAboveTheUnfinishedLinesAndReplacesItsChannelsOwn) {
  set_partial(panel_, 1, {1, 0, false, u"them typing"});
  set_partial(panel_, 0, {0, 0, false, u"me typing"});
  EXPECT_EQ(text(), L"me typing\rthem typing\r");  // microphone first
  append_final(panel_, {1, 0, false, u"them done"});
  EXPECT_EQ(text(), L"them done\rme typing\r");
  expect_run(L"them done", 0x1E1E1E, false);
  expect_run(L"me typing", lighten_colour(0x1E1E1E), false);
  EXPECT_EQ(panel_.partial_start, static_cast<LONG>(std::wstring(L"them done\r").size()));
  EXPECT_FALSE(panel_.has_partial[1]);
  ASSERT_EQ(panel_.finals.size(), 1u);
}

TEST_F(PanelControlTest, AnEmptyPartialHidesItAndALaterOneShowsItAgain) {
  append_final(panel_, {0, 0, false, u"done"});
  set_partial(panel_, 0, {0, 0, false, u"typing"});
  set_partial(panel_, 0, {0, 0, false, u""});
  EXPECT_EQ(text(), L"done\r");
  EXPECT_FALSE(panel_.has_partial[0]);
  set_partial(panel_, 0, {0, 0, false, u"again"});
  EXPECT_EQ(text(), L"done\ragain\r");
  drop_partial(panel_, 0);
  EXPECT_EQ(text(), L"done\r");
}

TEST_F(PanelControlTest, ALabelledEmptyLineStillShowsItsLabel) {
  append_final(panel_, {0, 2, true, u""});
  EXPECT_EQ(text(), L"You 2: \r");
}

TEST_F(PanelControlTest, FinishedTextIsNeverRewritten) {
  append_final(panel_, {0, 0, false, u"keep me"});
  // Mark the finished text in a way no panel operation would produce.
  SendMessageW(control_, EM_SETSEL, 0, 4);
  CHARFORMAT2W italic{};
  italic.cbSize = sizeof(italic);
  italic.dwMask = CFM_ITALIC;
  italic.dwEffects = CFE_ITALIC;
  SendMessageW(control_, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&italic));
  for (int i = 0; i < 20; ++i) {
    set_partial(panel_, i & 1, {i & 1, 0, true, u"partial " + std::u16string(1, u'a' + i)});
  }
  drop_partial(panel_, 0);
  const CHARFORMAT2W kept = format_of(0, 4);
  EXPECT_TRUE(kept.dwEffects & CFE_ITALIC);
  EXPECT_EQ(text(), L"keep me\rThem: partial t\r");
}

TEST_F(PanelControlTest, ClearThenPartialWritesAtTheStart) {
  append_final(panel_, {0, 0, false, u"old"});
  set_partial(panel_, 1, {1, 0, false, u"hidden after clear"});
  clear_panel(panel_);
  EXPECT_EQ(text(), L"");
  EXPECT_TRUE(panel_.finals.empty());
  EXPECT_EQ(panel_.partial_start, 0);
  set_partial(panel_, 0, {0, 0, false, u"fresh"});
  EXPECT_EQ(text(), L"fresh\r");  // channel 1's old text stays hidden
  EXPECT_EQ(panel_.partial_start, 0);
}

TEST_F(PanelControlTest, NonAsciiTextRoundTrips) {
  append_final(panel_, {0, 0, false, u"Привет, мир — Grüße \U0001F600"});
  EXPECT_EQ(text(), L"Привет, мир — Grüße \U0001F600\r");
}

TEST_F(PanelControlTest, AReaderWhoScrolledUpKeepsTheViewAndTheBottomFollows) {
  for (int i = 0; i < 200; ++i)
    append_final(panel_, {0, 0, false, u"line " + std::u16string(1, u'a' + i % 26)});
  pump();
  const int bottom_line = first_visible_line();
  EXPECT_GT(bottom_line, 100);  // the view followed the end while it was there

  SendMessageW(control_, WM_VSCROLL, SB_TOP, 0);
  SendMessageW(control_, WM_VSCROLL, SB_LINEDOWN, 0);
  SendMessageW(control_, WM_VSCROLL, SB_LINEDOWN, 0);
  pump();
  const int reading = first_visible_line();
  POINT before{};
  SendMessageW(control_, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&before));
  for (int i = 0; i < 30; ++i) {
    append_final(panel_, {1, 2, true, u"more"});
    set_partial(panel_, 0, {0, 0, false, u"typing " + std::u16string(1, u'a' + i)});
  }
  pump();
  POINT after{};
  SendMessageW(control_, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&after));
  EXPECT_EQ(first_visible_line(), reading);
  EXPECT_EQ(after.y, before.y);

  SendMessageW(control_, WM_VSCROLL, SB_BOTTOM, 0);
  pump();
  const int at_end = first_visible_line();
  for (int i = 0; i < 10; ++i) append_final(panel_, {0, 0, false, u"new"});
  pump();
  EXPECT_GT(first_visible_line(), at_end);  // followed the new lines down
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  ASSERT_TRUE(GetScrollInfo(control_, SB_VERT, &info));
  EXPECT_GE(static_cast<int>(info.nPage) + info.nPos, info.nMax - 2);
}

TEST_F(PanelControlTest, AUsersSelectionAndViewStayWhileLinesArriveAndChange) {
  for (int i = 0; i < 60; ++i)
    append_final(panel_, {0, 0, false, u"line " + std::u16string(1, u'a' + i % 26)});
  pump();
  SendMessageW(control_, WM_VSCROLL, SB_BOTTOM, 0);  // at the end, where the view would follow
  const std::wstring all = text();
  const LONG start = static_cast<LONG>(all.rfind(L"line d"));
  CHARRANGE chosen{start, start + 6};
  SendMessageW(control_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&chosen));
  pump();
  POINT before{};
  SendMessageW(control_, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&before));
  for (int i = 0; i < 20; ++i) {
    set_partial(panel_, 1, {1, 0, false, u"partial " + std::u16string(1, u'a' + i)});
    append_final(panel_, {0, 0, false, u"new"});
  }
  pump();
  CHARRANGE now{};
  SendMessageW(control_, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&now));
  EXPECT_EQ(now.cpMin, chosen.cpMin);
  EXPECT_EQ(now.cpMax, chosen.cpMax);
  POINT after{};
  SendMessageW(control_, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&after));
  EXPECT_EQ(after.y, before.y);

  // Selected into the unfinished line, which is then replaced by a shorter one: what is left.
  const LONG tail = panel_.partial_start;
  CHARRANGE into_tail{tail - 2, length()};
  SendMessageW(control_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&into_tail));
  set_partial(panel_, 1, {1, 0, false, u"p"});
  SendMessageW(control_, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&now));
  EXPECT_EQ(now.cpMin, tail - 2);
  EXPECT_EQ(now.cpMax, length());

  // Without a selection the end is followed as before.
  CHARRANGE caret{0, 0};
  SendMessageW(control_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&caret));
  SendMessageW(control_, WM_VSCROLL, SB_BOTTOM, 0);
  pump();
  const int at_end = first_visible_line();
  for (int i = 0; i < 10; ++i) append_final(panel_, {0, 0, false, u"more"});
  pump();
  EXPECT_GT(first_visible_line(), at_end);
}

TEST_F(PanelControlTest, AfterClearingALongTranscriptNewLinesAreFollowedAgain) {
  for (int i = 0; i < 100; ++i) append_final(panel_, {0, 0, false, u"before"});
  pump();
  clear_panel(panel_);
  pump();
  for (int i = 0; i < 100; ++i)
    append_final(panel_, {1, 0, false, u"after " + std::u16string(1, u'a' + i % 26)});
  pump();
  EXPECT_GT(first_visible_line(), 50);
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_ALL;
  ASSERT_TRUE(GetScrollInfo(control_, SB_VERT, &info));
  EXPECT_GE(static_cast<int>(info.nPage) + info.nPos, info.nMax - 2);
}

TEST_F(PanelControlTest, SeveralFinishedLinesAtOnceLookLikeOneByOne) {
  set_partial(panel_, 0, {0, 0, false, u"typing"});
  append_finals(panel_, {{1, 2, true, u"one"}, {0, 0, false, u"two"}, {1, 3, true, u"three"}});
  EXPECT_EQ(text(), L"Them 2: one\rtwo\rThem 3: three\r");  // the microphone's partial was replaced
  expect_run(L"Them 3: ", 0x3228BE, true);
  expect_run(L"two", 0x1E1E1E, false);
  EXPECT_EQ(panel_.finals.size(), 3u);
  EXPECT_EQ(panel_.partial_start, length());
  set_partial(panel_, 1, {1, 0, false, u"more"});
  EXPECT_EQ(text(), L"Them 2: one\rtwo\rThem 3: three\rmore\r");
  append_finals(panel_, {});
  EXPECT_EQ(text(), L"Them 2: one\rtwo\rThem 3: three\rmore\r");
}

TEST_F(PanelControlTest, PanelTextMatchesWhatIsShown) {
  append_final(panel_, {0, 0, true, u"Hello"});
  set_partial(panel_, 1, {1, 2, true, u"Hi"});
  EXPECT_EQ(panel_text(panel_), u"[You] Hello\r\n[Them 2] Hi\r\n");
  EXPECT_EQ(text(), L"You: Hello\rThem 2: Hi\r");
}

}  // namespace
}  // namespace colloquor
