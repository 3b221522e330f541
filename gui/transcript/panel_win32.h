// The transcript panels over their rich-edit controls. Finished lines are written once and never
// touched again; only the unfinished tail after partial_start is deleted and rewritten. Window
// thread only.
#pragma once

#include <windows.h>

#include <vector>

#include "transcript/panel.h"

namespace colloquor {

inline HWND panel_control(const TranscriptPanel& panel) { return static_cast<HWND>(panel.control); }

// Empties the lines and the control; the texts kept in partials are not shown until set again.
void clear_panel(TranscriptPanel& panel);
// Replaces the channel's unfinished line; an empty text hides it.
void set_partial(TranscriptPanel& panel, int channel, const PanelLine& line);
// Writes a finished line above the unfinished ones; it replaces its channel's unfinished line.
void append_final(TranscriptPanel& panel, const PanelLine& line);
// Several finished lines at once, written under a single redraw (a saved session being shown);
// the same as append_final for each of them in order.
void append_finals(TranscriptPanel& panel, const std::vector<PanelLine>& lines);
// Redraws the unfinished lines whose flags are set.
void show_partials(TranscriptPanel& panel);
// Hides the channel's unfinished line.
void drop_partial(TranscriptPanel& panel, int channel);
// The common body: delete the tail, write the new finished line if any, write the unfinished
// lines, and scroll to the end only when the view was already there.
void render_panel(TranscriptPanel& panel, const PanelLine* new_final);

}  // namespace colloquor
