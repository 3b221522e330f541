// The two transcript panels' bookkeeping and appearance: the lines a panel holds, speaker labels,
// label colours, the lighter colour of unfinished lines, and the panel's plain text. Portable; the
// rich-edit side (clear_panel, set_partial, append_final, ...) is in panel_win32.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace colloquor {

struct PanelLine {
  std::int32_t channel = 0;  // 0 = microphone, 1 = system audio
  std::int32_t speaker = 0;  // numbers below 2 are shown without a number
  bool labelled = false;     // shown with a speaker label in the speaker's colour
  std::u16string text;
};

struct TranscriptPanel {
  void* control = nullptr;            // the rich-edit control (an HWND)
  std::vector<PanelLine> finals;      // finished lines, oldest first
  std::array<PanelLine, 2> partials;  // current unfinished line of each channel
  std::array<bool, 2> has_partial{};  // the channel's unfinished line is shown
  std::int32_t partial_start = 0;     // where the unfinished tail begins in the control
};

// The program's two panels, living for the whole run; the window gives them their controls.
extern TranscriptPanel recognized_panel;
extern TranscriptPanel translation_panel;

// "You" / "Them", then " N" for speaker 2 and above.
std::u16string speaker_label(std::int32_t channel, std::int32_t speaker);

// Colours are COLORREF values (0x00BBGGRR).
inline constexpr std::uint32_t kUnlabelledColour = 0x1E1E1E;
inline constexpr std::array<std::array<std::uint32_t, 6>, 2> kSpeakerColours = {{
    {0xA65400, 0xB43F7B, 0x8C8200, 0xAA4646, 0x7832A0, 0x8C6E46},
    {0x328214, 0x0A64CD, 0x3228BE, 0x007878, 0x285082, 0xA028BE},
}};
int colour_index(std::int32_t speaker);
std::uint32_t lighten_colour(std::uint32_t colour);
// The colour a line is written in, finished or not.
std::uint32_t line_colour(const PanelLine& line, bool unfinished);

// One piece of text written with one format.
struct StyledRun {
  std::u16string text;
  std::uint32_t colour = 0;
  bool bold = false;
};
// What a line puts into the control: the bold label with ": " when labelled, the text, and one
// CR ending the paragraph. Empty texts are left out (a labelled empty line still shows its label).
std::vector<StyledRun> line_runs(const PanelLine& line, bool unfinished);

// Plain text for the clipboard: finished lines, then the unfinished lines of channel 0 and 1;
// labelled lines as "[label] text"; each followed by CR LF.
std::u16string panel_text(const TranscriptPanel& panel);

}  // namespace colloquor
