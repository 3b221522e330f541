#include "transcript/panel.h"

namespace colloquor {

TranscriptPanel recognized_panel;
TranscriptPanel translation_panel;

std::u16string speaker_label(std::int32_t channel, std::int32_t speaker) {
  std::u16string label = (channel & 1) ? u"Them" : u"You";
  if (speaker >= 2) {
    label += u' ';
    for (char c : std::to_string(speaker)) label += static_cast<char16_t>(c);
  }
  return label;
}

int colour_index(std::int32_t speaker) {
  // Computed in 64 bits: speaker - 1 cannot overflow for any 32-bit speaker number.
  return speaker >= 2 ? static_cast<int>((static_cast<std::int64_t>(speaker) - 1) % 6) : 0;
}

static std::uint32_t lighten_component(std::uint32_t c) {
  return static_cast<std::uint32_t>(static_cast<double>(c) * 0.62 + 96.9);
}

std::uint32_t lighten_colour(std::uint32_t colour) {
  const std::uint32_t red = lighten_component(colour & 0xFF);
  const std::uint32_t green = lighten_component((colour >> 8) & 0xFF);
  const std::uint32_t blue = lighten_component((colour >> 16) & 0xFF);
  return red | (green << 8) | (blue << 16);
}

std::uint32_t line_colour(const PanelLine& line, bool unfinished) {
  std::uint32_t colour = kUnlabelledColour;
  if (line.labelled) colour = kSpeakerColours[line.channel & 1][colour_index(line.speaker)];
  return unfinished ? lighten_colour(colour) : colour;
}

std::vector<StyledRun> line_runs(const PanelLine& line, bool unfinished) {
  const std::uint32_t colour = line_colour(line, unfinished);
  std::vector<StyledRun> runs;
  if (line.labelled)
    runs.push_back({speaker_label(line.channel, line.speaker) + u": ", colour, true});
  if (!line.text.empty()) runs.push_back({line.text, colour, false});
  runs.push_back({u"\r", colour, false});
  return runs;
}

static void append_plain_line(std::u16string& out, const PanelLine& line) {
  if (line.labelled) {
    out += u'[';
    out += speaker_label(line.channel, line.speaker);
    out += u"] ";
  }
  out += line.text;
  out += u"\r\n";
}

std::u16string panel_text(const TranscriptPanel& panel) {
  std::u16string out;
  for (const PanelLine& line : panel.finals) append_plain_line(out, line);
  for (int channel = 0; channel < 2; ++channel) {
    if (panel.has_partial[channel]) append_plain_line(out, panel.partials[channel]);
  }
  return out;
}

}  // namespace colloquor
