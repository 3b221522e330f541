#include "app/worker_messages.h"

#include <algorithm>

#include "worker_link/line_parser.h"

namespace colloquor {

WorkerState worker_state;

namespace {

std::u16string ascii16(std::string_view text) { return std::u16string(text.begin(), text.end()); }

bool starts_with_ready(std::u16string_view text) { return text.substr(0, 5) == u"ready"; }

void handle_status(WorkerState& state, WorkerView& view, const WorkerLine& line) {
  if (!starts_with_ready(line.text)) {
    view.set_status(line.text);
    return;
  }
  state.worker_ready = true;
  state.startup_finished = true;
  view.show_download_bar(false);
  view.send_options();
  view.set_status(ready_status_text(line.text, state.translation_unavailable));
  view.update_controls();
}

void handle_start_failed(WorkerState& state, WorkerView& view, const WorkerLine& line) {
  state.startup_finished = true;
  view.set_status(line.text);
}

void handle_progress(WorkerView& view, const WorkerLine& line) {
  if (line.number < 0) {
    view.show_download_bar(false);
    return;
  }
  view.show_download_bar(true);
  view.set_download_position(std::min(line.number, 100));
  view.set_status(line.text);
}

void handle_translation_unavailable(WorkerState& state, WorkerView& view) {
  state.translation_unavailable = true;
  view.lock_translation_off();
  view.save_settings();
}

void handle_speakers_unavailable(WorkerState& state, WorkerView& view) {
  state.speakers_unavailable = true;
  view.lock_single_voice();
  view.apply_capture_options_with_saving();
}

std::vector<std::u16string_view> split_tabs(std::u16string_view text) {
  std::vector<std::u16string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = text.find(u'\t', start);
    fields.push_back(text.substr(start, tab == std::u16string_view::npos ? tab : tab - start));
    if (tab == std::u16string_view::npos) return fields;
    start = tab + 1;
  }
}

// False when the line has fewer than five fields and so changes nothing.
bool add_catalog_entry(std::vector<ModelEntry>& catalog, const WorkerLine& line) {
  const std::vector<std::u16string_view> fields = split_tabs(line.text);
  if (fields.size() < 5) return false;
  if (fields[0] == u"0") catalog.clear();
  ModelEntry entry;
  entry.id = fields[1];
  entry.label = fields[2];
  entry.size_mb = decimal_prefix(fields[3]);
  entry.installed = fields[4] == u"1";
  catalog.push_back(std::move(entry));
  return true;
}

void set_active_model(std::u16string& active, std::u16string& chosen,
                      std::vector<ModelEntry>& catalog, WorkerState& state, const WorkerLine& line) {
  active = line.text;
  state.switching_model = false;
  for (ModelEntry& entry : catalog) {
    if (entry.id == line.text) entry.installed = true;
  }
  if (chosen.empty()) chosen = line.text;
}

PanelLine panel_line(int channel, std::int32_t speaker, bool labelled, const std::u16string& text) {
  return PanelLine{channel, speaker, labelled, text};
}

void handle_final(WorkerState& state, WorkerView& view, const WorkerLine& line, int channel) {
  if (line.text.empty()) {
    state.pending_finals[channel].push_back(kNoLine);
    view.drop_partial(PanelId::recognized, channel);
    return;
  }
  const bool labelled = view.lines_labelled();
  TranscriptLine finished;
  finished.channel = channel;
  finished.speaker = line.number;
  finished.labelled = labelled;
  finished.text = line.text;
  finished.language = line.language;
  state.transcript_lines.push_back(std::move(finished));
  state.pending_finals[channel].push_back(static_cast<std::int32_t>(state.transcript_lines.size() - 1));
  view.append_final(PanelId::recognized, panel_line(channel, line.number, labelled, line.text));
}

void handle_final_translation(WorkerState& state, WorkerView& view, const WorkerLine& line,
                              int channel) {
  std::deque<std::int32_t>& queue = state.pending_finals[channel];
  const std::int32_t index = queue.empty() ? kNoLine : queue.front();
  if (!queue.empty()) queue.pop_front();
  if (index < 0 || static_cast<std::size_t>(index) >= state.transcript_lines.size()) {
    view.drop_partial(PanelId::translation, channel);
    return;
  }
  TranscriptLine& finished = state.transcript_lines[static_cast<std::size_t>(index)];
  if (!line.text.empty()) {
    finished.translation = line.text;
    finished.translation_language = line.language;
    view.append_final(PanelId::translation,
                      panel_line(channel, finished.speaker, finished.labelled, line.text));
  } else {
    view.drop_partial(PanelId::translation, channel);
  }
  view.append_session_line(finished);
}

void handle_output_ended(WorkerState& state, WorkerView& view) {
  state.worker_ready = false;
  state.switching_model = false;
  state.startup_finished = true;
  if (view.capture_running()) view.stop_capture();
  view.set_status(kWorkerStoppedStatus);
  view.update_controls();
}

}  // namespace

std::u16string ready_status_text(std::u16string_view ready_text, bool translation_unavailable) {
  std::u16string status = u"Ready ";
  if (ready_text.size() > 6) status += ready_text.substr(6);
  status += translation_unavailable ? u", translation unavailable." : u", NLLB translation enabled.";
  status += u" Press \"+ New session\", then Record.";
  return status;
}

std::u16string model_item_text(const ModelEntry& entry) {
  std::u16string text = entry.label;
  text += u"  (";
  text += ascii16(std::to_string(entry.size_mb));
  text += u" MB, ";
  text += entry.installed ? u"installed" : u"will be downloaded";
  text += u')';
  return text;
}

int preferred_model_item(const std::vector<ModelEntry>& catalog, std::u16string_view chosen,
                         std::u16string_view active) {
  if (catalog.empty()) return -1;
  const std::u16string_view preferred = chosen.empty() ? active : chosen;
  for (std::size_t i = catalog.size(); i-- > 0;) {
    if (catalog[i].id == preferred) return static_cast<int>(i);
  }
  return 0;
}

static void fill_model_list(const std::vector<ModelEntry>& catalog, std::u16string_view chosen,
                            std::u16string_view active, ModelList list, WorkerView& view) {
  std::vector<std::u16string> items;
  items.reserve(catalog.size());
  for (const ModelEntry& entry : catalog) items.push_back(model_item_text(entry));
  view.fill_model_list(list, items, preferred_model_item(catalog, chosen, active));
}

void fill_speaker_models(const WorkerState& state, WorkerView& view) {
  fill_model_list(state.speaker_catalog, state.chosen_speaker_model, state.active_speaker_model,
                  ModelList::speaker, view);
}

void fill_translation_models(const WorkerState& state, WorkerView& view) {
  fill_model_list(state.translation_catalog, state.chosen_translation_model,
                  state.active_translation_model, ModelList::translation, view);
}

void clear_transcript(WorkerState& state, WorkerView& view) {
  for (std::deque<std::int32_t>& queue : state.pending_finals) {
    for (std::int32_t& index : queue) {
      if (index >= 0 && static_cast<std::size_t>(index) < state.transcript_lines.size()) {
        view.append_session_line(state.transcript_lines[static_cast<std::size_t>(index)]);
      }
      index = kNoLine;  // the translation still on its way is dropped when it comes
    }
  }
  state.transcript_lines.clear();
}

void handle_worker_line(WorkerState& state, WorkerView& view, const WorkerLine& line) {
  const int channel = line.channel & 1;
  switch (line.kind) {
    case 'S': handle_status(state, view, line); break;
    case 'E': handle_start_failed(state, view, line); break;
    case 'D': handle_progress(view, line); break;
    case 'N': handle_translation_unavailable(state, view); break;
    case 'V': handle_speakers_unavailable(state, view); break;
    case 'C':
      if (add_catalog_entry(state.speaker_catalog, line)) fill_speaker_models(state, view);
      break;
    case 'K':
      if (add_catalog_entry(state.translation_catalog, line)) fill_translation_models(state, view);
      break;
    case 'M':
      set_active_model(state.active_speaker_model, state.chosen_speaker_model,
                       state.speaker_catalog, state, line);
      fill_speaker_models(state, view);
      if (!line.text.empty()) view.show_download_bar(false);
      break;
    case 'Z':
      set_active_model(state.active_translation_model, state.chosen_translation_model,
                       state.translation_catalog, state, line);
      fill_translation_models(state, view);
      if (!line.text.empty()) view.show_download_bar(false);
      break;
    case 'P':
      view.set_partial(PanelId::recognized, channel,
                       panel_line(channel, line.number, view.lines_labelled(), line.text));
      break;
    case 'T':
      view.set_partial(PanelId::translation, channel,
                       panel_line(channel, line.number, view.lines_labelled(), line.text));
      break;
    case 'F': handle_final(state, view, line, channel); break;
    case 'U': handle_final_translation(state, view, line, channel); break;
    case 'X': handle_output_ended(state, view); break;
    default: break;  // kinds the window does not know are ignored
  }
}

}  // namespace colloquor
