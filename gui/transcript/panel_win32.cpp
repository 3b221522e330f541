#include "transcript/panel_win32.h"

#include <richedit.h>

#include <algorithm>
#include <cstdint>

namespace colloquor {

namespace {

LONG text_length(HWND control) {
  GETTEXTLENGTHEX request{GTL_DEFAULT, 1200};
  return static_cast<LONG>(
      SendMessageW(control, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&request), 0));
}

void select_range(HWND control, LONG start, LONG end) {
  SendMessageW(control, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

// A position past any text: the control puts the caret after the last character. Unlike the
// caret at an explicit character position, this needs no search through the text, which some
// rich-edit implementations do paragraph by paragraph from the top.
constexpr LONG kPastTheEnd = 0x7FFFFFFF;

void caret_to_end(HWND control) { select_range(control, kPastTheEnd, kPastTheEnd); }

// The one primitive that writes into the control: text appended at the end in the given colour
// and weight. The format is set on the empty selection at the end, so the inserted text takes it
// as it is typed in; no range has to be selected afterwards, and writing costs the same however
// long the transcript is. Undo is not recorded, so a long transcript keeps no undo history.
void append_styled(HWND control, const std::u16string& text, std::uint32_t colour, bool bold) {
  if (text.empty()) return;
  caret_to_end(control);
  CHARFORMAT2W format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR | CFM_BOLD;
  format.dwEffects = bold ? CFE_BOLD : 0;
  format.crTextColor = static_cast<COLORREF>(colour);
  SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// Deletes everything after the finished lines. Skipped when nothing is there, which is the usual
// case when a finished line arrives, so that appending never has to locate a position.
void delete_tail(HWND control, LONG tail_start) {
  if (text_length(control) <= tail_start) return;
  select_range(control, tail_start, -1);
  SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void render_line(HWND control, const PanelLine& line, bool unfinished) {
  for (const StyledRun& run : line_runs(line, unfinished)) {
    append_styled(control, run.text, run.colour, run.bold);
  }
}

// The view follows new text only when it already shows the end (within two scroll units). While
// the text fits, there is nothing the reader could have scrolled away from, so that follows too;
// the scroll bar is then hidden, and its range may still be the initial one (0 to 100 with no
// page) or, after the text was cleared, the one of the longer text before.
bool view_at_bottom(HWND control) {
  if ((GetWindowLongW(control, GWL_STYLE) & WS_VSCROLL) == 0) return true;
  SCROLLINFO info{};
  info.cbSize = sizeof(info);
  info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;
  if (!GetScrollInfo(control, SB_VERT, &info) || info.nMax <= 0) return true;
  const std::int64_t span = std::int64_t{info.nMax} - info.nMin + 1;
  if (info.nPage == 0 || span <= std::int64_t{info.nPage}) return true;
  return std::int64_t{info.nPage} + info.nPos >= std::int64_t{info.nMax} - 2;
}

}  // namespace

namespace {

// render_panel for any number of new finished lines, all written under one redraw.
void render_with_finals(TranscriptPanel& panel, const PanelLine* new_finals, std::size_t count) {
  HWND control = panel_control(panel);
  if (control == nullptr) return;
  // A user who selected text (to copy a sentence while recording) keeps the selection and the
  // view: writing moves the control's selection to the end and back.
  CHARRANGE selected{};
  SendMessageW(control, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selected));
  const bool user_selection = selected.cpMin != selected.cpMax;
  const bool follow = !user_selection && view_at_bottom(control);
  // Moving the selection may scroll the control to the caret; a reader who scrolled up keeps the
  // exact position, so it is put back afterwards.
  POINT kept{};
  SendMessageW(control, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&kept));
  SendMessageW(control, WM_SETREDRAW, FALSE, 0);

  delete_tail(control, panel.partial_start);
  if (count > 0) {
    for (std::size_t i = 0; i < count; ++i) render_line(control, new_finals[i], false);
    panel.partial_start = text_length(control);
  }
  for (int channel = 0; channel < 2; ++channel) {
    if (panel.has_partial[channel] && !panel.partials[channel].text.empty()) {
      render_line(control, panel.partials[channel], true);
    }
  }

  if (user_selection) {
    // Finished text never moves; a selection reaching into the rewritten unfinished lines keeps
    // what still exists of it.
    const LONG end = text_length(control);
    selected.cpMin = std::min(selected.cpMin, end);
    selected.cpMax = std::min(selected.cpMax, end);
    SendMessageW(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selected));
  }
  SendMessageW(control, WM_SETREDRAW, TRUE, 0);
  if (follow) {
    SendMessageW(control, WM_VSCROLL, SB_BOTTOM, 0);
  } else {
    SendMessageW(control, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&kept));
  }
  InvalidateRect(control, nullptr, TRUE);
}

}  // namespace

void render_panel(TranscriptPanel& panel, const PanelLine* new_final) {
  render_with_finals(panel, new_final, new_final != nullptr ? 1 : 0);
}

void append_finals(TranscriptPanel& panel, const std::vector<PanelLine>& lines) {
  if (lines.empty()) return;
  const std::size_t first = panel.finals.size();
  panel.finals.insert(panel.finals.end(), lines.begin(), lines.end());
  for (const PanelLine& line : lines) panel.has_partial[line.channel & 1] = false;
  render_with_finals(panel, panel.finals.data() + first, lines.size());
}

void clear_panel(TranscriptPanel& panel) {
  panel.finals.clear();
  panel.has_partial = {false, false};
  panel.partial_start = 0;
  if (HWND control = panel_control(panel)) SetWindowTextW(control, L"");
}

void set_partial(TranscriptPanel& panel, int channel, const PanelLine& line) {
  const int c = channel & 1;
  panel.partials[c] = line;
  panel.has_partial[c] = !line.text.empty();
  show_partials(panel);
}

void append_final(TranscriptPanel& panel, const PanelLine& line) {
  panel.finals.push_back(line);
  panel.has_partial[line.channel & 1] = false;
  render_panel(panel, &panel.finals.back());
}

void show_partials(TranscriptPanel& panel) { render_panel(panel, nullptr); }

void drop_partial(TranscriptPanel& panel, int channel) {
  panel.has_partial[channel & 1] = false;
  show_partials(panel);
}

}  // namespace colloquor
