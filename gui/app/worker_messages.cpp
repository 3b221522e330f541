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
  state.stopped_reason = line.text;
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
                      std::vector<ModelEntry>& catalog, WorkerState& state,
                      const WorkerLine& line) {
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

// The session a recognition line of the channel belongs to: the oldest stopped recording still
// owed lines, else the session now current.
SessionKey line_session(const WorkerState& state, WorkerView& view, int channel) {
  const ChannelAnswers& answers = state.answers[static_cast<std::size_t>(channel)];
  return answers.owed.empty() ? view.current_session() : answers.owed.front().session;
}

// Lines are shown in the panels only while they belong to what the panels show live. Without any
// session (the current one was deleted while recording) the recording's lines are still shown.
bool shown_live(WorkerView& view, SessionKey session) {
  return session == view.current_session() && (session != kNoSession || view.capture_running());
}

void release_if_idle(const WorkerState& state, WorkerView& view, SessionKey session) {
  if (session != kNoSession && !session_lines_owed(state, session)) view.release_session(session);
}

void end_oldest_claim(WorkerState& state, WorkerView& view, int channel) {
  std::deque<ChannelAnswers::Owed>& owed = state.answers[static_cast<std::size_t>(channel)].owed;
  const SessionKey session = owed.front().session;
  owed.pop_front();
  release_if_idle(state, view, session);
}

// The worker's first "P" of a channel after "R" comes once the audio sent before it is answered.
void end_claim_at_session_mark(WorkerState& state, WorkerView& view, int channel) {
  state.partials_seen = true;
  const std::deque<ChannelAnswers::Owed>& owed =
      state.answers[static_cast<std::size_t>(channel)].owed;
  if (!owed.empty() && owed.front().new_session_sent) end_oldest_claim(state, view, channel);
}

// A worker that never sends partial lines marks no session either. Its finished lines answer the
// audio of the new session once that has begun, at the latest; the claim ends there.
void end_claim_without_marks(WorkerState& state, WorkerView& view, int channel) {
  if (state.partials_seen) return;
  const std::deque<ChannelAnswers::Owed>& owed =
      state.answers[static_cast<std::size_t>(channel)].owed;
  if (!owed.empty() && owed.front().new_session_sent &&
      view.last_audio_ms(channel) > owed.front().audio_at_new_session) {
    end_oldest_claim(state, view, channel);
  }
}

void handle_partial(WorkerState& state, WorkerView& view, const WorkerLine& line, int channel,
                    PanelId panel) {
  if (line.kind == kLinePartial) end_claim_at_session_mark(state, view, channel);
  if (!shown_live(view, line_session(state, view, channel))) return;
  view.set_partial(panel, channel,
                   panel_line(channel, line.number, view.lines_labelled(), line.text));
}

void handle_final(WorkerState& state, WorkerView& view, const WorkerLine& line, int channel) {
  end_claim_without_marks(state, view, channel);
  PendingFinal pending;
  pending.session = line_session(state, view, channel);
  const bool shown = shown_live(view, pending.session);
  if (line.text.empty()) {
    state.pending_finals[channel].push_back(std::move(pending));
    if (shown) view.drop_partial(PanelId::recognized, channel);
    return;
  }
  const bool labelled = view.lines_labelled();
  pending.has_text = true;
  pending.line.channel = channel;
  pending.line.speaker = line.number;
  pending.line.labelled = labelled;
  pending.line.text = line.text;
  pending.line.language = line.language;
  if (shown) {
    state.transcript_lines.push_back(pending.line);
    pending.shown_index = static_cast<std::int32_t>(state.transcript_lines.size() - 1);
    view.append_final(PanelId::recognized, panel_line(channel, line.number, labelled, line.text));
  }
  state.pending_finals[channel].push_back(std::move(pending));
}

void handle_final_translation(WorkerState& state, WorkerView& view, const WorkerLine& line,
                              int channel) {
  std::deque<PendingFinal>& queue = state.pending_finals[channel];
  if (queue.empty()) {
    if (shown_live(view, line_session(state, view, channel))) {
      view.drop_partial(PanelId::translation, channel);
    }
    return;
  }
  PendingFinal pending = std::move(queue.front());
  queue.pop_front();
  const bool shown = pending.shown_index != kNoLine &&
                     static_cast<std::size_t>(pending.shown_index) < state.transcript_lines.size();
  if (pending.has_text) {
    pending.line.translation = line.text;
    pending.line.translation_language = line.language;
    if (shown) state.transcript_lines[static_cast<std::size_t>(pending.shown_index)] = pending.line;
  }
  if (shown && pending.has_text && !line.text.empty()) {
    view.append_final(PanelId::translation,
                      panel_line(channel, pending.line.speaker, pending.line.labelled, line.text));
  } else if (shown_live(view, pending.session)) {
    view.drop_partial(PanelId::translation, channel);
  }
  if (pending.has_text) view.append_session_line(pending.session, pending.line);
  release_if_idle(state, view, pending.session);
}

void handle_output_ended(WorkerState& state, WorkerView& view) {
  state.worker_ready = false;
  state.switching_model = false;
  state.startup_finished = true;
  if (view.capture_running()) view.stop_capture();
  // No translation can come any more: what was recognized is saved as it is.
  save_pending_finals(state, view);
  state.stopped_reason = kWorkerStoppedStatus;
  view.set_status(kWorkerStoppedStatus);
  view.update_controls();
}

}  // namespace

std::u16string ready_status_text(std::u16string_view ready_text, bool translation_unavailable) {
  std::u16string status = u"Ready ";
  if (ready_text.size() > 6) status += ready_text.substr(6);
  status +=
      translation_unavailable ? u", translation unavailable." : u", NLLB translation enabled.";
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

void clear_transcript(WorkerState& state) {
  for (std::deque<PendingFinal>& queue : state.pending_finals) {
    for (PendingFinal& pending : queue) pending.shown_index = kNoLine;
  }
  state.transcript_lines.clear();
}

void note_capture_stopped(WorkerState& state, SessionKey session,
                          const std::array<std::uint64_t, 2>& last_audio_ms, std::uint64_t now_ms) {
  if (session == kNoSession) return;
  for (std::size_t channel = 0; channel < state.answers.size(); ++channel) {
    ChannelAnswers& answers = state.answers[channel];
    if (last_audio_ms[channel] <= answers.claimed_audio_ms) continue;
    answers.claimed_audio_ms = last_audio_ms[channel];
    std::deque<ChannelAnswers::Owed>& owed = answers.owed;
    if (!owed.empty() && owed.back().session == session && !owed.back().new_session_sent) {
      owed.back().stopped_ms = now_ms;  // paused and resumed in the same session
    } else {
      owed.push_back({session, now_ms, false, 0});
    }
  }
}

void note_new_session(WorkerState& state, const std::array<std::uint64_t, 2>& last_audio_ms) {
  for (std::size_t channel = 0; channel < state.answers.size(); ++channel) {
    for (ChannelAnswers::Owed& owed : state.answers[channel].owed) {
      if (owed.new_session_sent) continue;
      owed.new_session_sent = true;
      owed.audio_at_new_session = last_audio_ms[channel];
    }
  }
}

void expire_late_answers(WorkerState& state, WorkerView& view) {
  const std::uint64_t now = view.now_ms();
  for (std::size_t channel = 0; channel < state.answers.size(); ++channel) {
    const std::deque<ChannelAnswers::Owed>& owed = state.answers[channel].owed;
    while (!owed.empty() && now - owed.front().stopped_ms >= kLateAnswerLimitMs) {
      end_oldest_claim(state, view, static_cast<int>(channel));
    }
  }
}

bool translations_owed(const WorkerState& state) {
  for (const std::deque<PendingFinal>& queue : state.pending_finals) {
    for (const PendingFinal& pending : queue) {
      if (pending.has_text) return true;
    }
  }
  return false;
}

void save_pending_finals(WorkerState& state, WorkerView& view) {
  std::vector<SessionKey> sessions;
  for (std::deque<PendingFinal>& queue : state.pending_finals) {
    for (const PendingFinal& pending : queue) {
      if (pending.has_text) view.append_session_line(pending.session, pending.line);
      sessions.push_back(pending.session);
    }
    queue.clear();
  }
  for (ChannelAnswers& answers : state.answers) {
    for (const ChannelAnswers::Owed& owed : answers.owed) sessions.push_back(owed.session);
    answers.owed.clear();
  }
  for (SessionKey session : sessions) release_if_idle(state, view, session);
}

bool session_lines_owed(const WorkerState& state, SessionKey session) {
  for (const std::deque<PendingFinal>& queue : state.pending_finals) {
    for (const PendingFinal& pending : queue) {
      if (pending.session == session) return true;
    }
  }
  for (const ChannelAnswers& answers : state.answers) {
    for (const ChannelAnswers::Owed& owed : answers.owed) {
      if (owed.session == session) return true;
    }
  }
  return false;
}

void handle_worker_line(WorkerState& state, WorkerView& view, const WorkerLine& line) {
  const int channel = line.channel & 1;
  switch (line.kind) {
    case kLineStatus: handle_status(state, view, line); break;
    case kLineStartFailed: handle_start_failed(state, view, line); break;
    case kLineProgress: handle_progress(view, line); break;
    case kLineNoTranslation: handle_translation_unavailable(state, view); break;
    case kLineNoSpeakers: handle_speakers_unavailable(state, view); break;
    case kLineSpeakerCatalog:
      if (add_catalog_entry(state.speaker_catalog, line)) fill_speaker_models(state, view);
      break;
    case kLineTranslationCatalog:
      if (add_catalog_entry(state.translation_catalog, line)) fill_translation_models(state, view);
      break;
    case kLineSpeakerModel:
      set_active_model(state.active_speaker_model, state.chosen_speaker_model,
                       state.speaker_catalog, state, line);
      fill_speaker_models(state, view);
      if (!line.text.empty()) view.show_download_bar(false);
      break;
    case kLineTranslationModel:
      set_active_model(state.active_translation_model, state.chosen_translation_model,
                       state.translation_catalog, state, line);
      fill_translation_models(state, view);
      if (!line.text.empty()) view.show_download_bar(false);
      break;
    case kLinePartial: handle_partial(state, view, line, channel, PanelId::recognized); break;
    case kLinePartialTranslation:
      handle_partial(state, view, line, channel, PanelId::translation);
      break;
    case kLineFinal: handle_final(state, view, line, channel); break;
    case kLineFinalTranslation: handle_final_translation(state, view, line, channel); break;
    case kLineOutputEnded: handle_output_ended(state, view); break;
    default: break;  // kinds the window does not know are ignored
  }
}

}  // namespace colloquor
