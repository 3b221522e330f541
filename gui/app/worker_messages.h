// The window's reaction to every worker line: status and ready transition, download progress,
// model catalogs and lists, the transcript panels, the finished lines and their pairing with the
// final translations. Portable: the window is reached only through WorkerView, which the Win32
// shell (worker_messages_win32.cpp) implements on the real controls and tests implement in memory.
//
// Ownership of the window's worker state: WorkerState below is the single owner of the worker
// flags (worker_ready, startup_finished, switching_model, translation_unavailable,
// speakers_unavailable), the catalogs, the active and chosen model ids, transcript_lines and
// pending_finals. The process-wide instance is `worker_state`; it is touched on the window thread
// only. session_open belongs to the window's commands and capture_running to capture control;
// this module only reads them, through WorkerView.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "transcript/panel.h"
#include "transcript/transcript_line.h"
#include "worker_link/worker_line.h"

namespace colloquor {

struct ModelEntry {
  std::u16string id;
  std::u16string label;
  std::int32_t size_mb = 0;
  bool installed = false;
};

// Stands for "not in transcript_lines": an utterance that produced no text, or a finished line
// that the panels no longer show.
inline constexpr std::int32_t kNoLine = -1;

// A finished line waiting for its final translation: the line as it will be saved, the session
// whose audio produced it, and its place in transcript_lines while the panels show it.
struct PendingFinal {
  std::int32_t shown_index = kNoLine;
  SessionKey session = kNoSession;
  bool has_text = false;  // false for an utterance that produced nothing
  TranscriptLine line;
};

// After a recording stops, the worker may still be working on its utterances, whose finished
// lines belong to the stopped recording's session even if another session is current by the time
// they come. The worker answers the audio of a channel in order, and once everything sent before a
// new session's "R" is answered it sends an empty partial line on the channel: the first "P" of
// the channel after the "R" therefore ends the claim. Per channel: the claims, oldest first.
struct ChannelAnswers {
  struct Owed {
    SessionKey session = kNoSession;
    std::uint64_t stopped_ms = 0;
    bool new_session_sent = false;           // an "R" went out after this recording stopped
    std::uint64_t audio_at_new_session = 0;  // the channel's last audio tick at that "R"
  };
  std::deque<Owed> owed;
  std::uint64_t claimed_audio_ms = 0;  // the channel's audio up to this tick has been claimed
};

// A claim ends at the latest after this long (a worker that never answers).
inline constexpr std::uint64_t kLateAnswerLimitMs = 120000;

struct WorkerState {
  bool startup_finished = false;
  bool switching_model = false;
  bool worker_ready = false;
  bool translation_unavailable = false;
  bool speakers_unavailable = false;
  std::vector<ModelEntry> speaker_catalog;
  std::vector<ModelEntry> translation_catalog;
  std::u16string active_speaker_model;
  std::u16string active_translation_model;
  std::u16string chosen_speaker_model;
  std::u16string chosen_translation_model;
  // Why the recognizer cannot be used for the rest of the run (start failure or end); else empty.
  std::u16string stopped_reason;
  std::vector<TranscriptLine> transcript_lines;
  std::array<std::deque<PendingFinal>, 2> pending_finals;
  std::array<ChannelAnswers, 2> answers;
  bool partials_seen = false;  // the worker has sent a "P" line in this run
};

// The one instance of the window's worker state.
extern WorkerState worker_state;

enum class PanelId { recognized, translation };
enum class ModelList { speaker, translation };

// What the dispatch needs from the window. Every call happens on the window thread.
struct WorkerView {
  virtual ~WorkerView() = default;
  virtual void set_status(std::u16string_view text) = 0;
  virtual void show_download_bar(bool visible) = 0;
  virtual void set_download_position(int percent) = 0;
  // "N": select "No translation", disable the translation language list and the swap button.
  virtual void lock_translation_off() = 0;
  // "V": check "One interlocutor", uncheck and disable "Several (detect voices)".
  virtual void lock_single_voice() = 0;
  // Empties the list and adds items in order; selects `selected`, or nothing when it is -1.
  virtual void fill_model_list(ModelList list, const std::vector<std::u16string>& items,
                               int selected) = 0;
  virtual void set_partial(PanelId panel, int channel, const PanelLine& line) = 0;
  virtual void append_final(PanelId panel, const PanelLine& line) = 0;
  virtual void drop_partial(PanelId panel, int channel) = 0;
  // The session whose lines the panels show live: the open session, or kNoSession.
  virtual SessionKey current_session() = 0;
  // Writes one row into a session's file (nothing when that file is no longer open).
  virtual void append_session_line(SessionKey session, const TranscriptLine& line) = 0;
  // No more lines are owed to a session that is not current: its file may be closed.
  virtual void release_session(SessionKey session) = 0;
  // A millisecond tick (GetTickCount64).
  virtual std::uint64_t now_ms() = 0;
  // The tick of the channel's last audio frame to the worker; 0 before any.
  virtual std::uint64_t last_audio_ms(int channel) = 0;
  // True while system-audio capture is enabled or speaker detection is in effect.
  virtual bool lines_labelled() = 0;
  virtual bool capture_running() = 0;
  virtual void stop_capture() = 0;
  virtual void send_options() = 0;
  virtual void update_controls() = 0;
  virtual void save_settings() = 0;
  // Turns diarization off through the capture options, sends them when ready, and saves.
  virtual void apply_capture_options_with_saving() = 0;
};

// Handles one record. The caller keeps ownership of the record.
void handle_worker_line(WorkerState& state, WorkerView& view, const WorkerLine& line);

// Item texts of a model list, e.g. "Small  (38 MB, will be downloaded)".
std::u16string model_item_text(const ModelEntry& entry);
// The item to select: the last entry with the chosen id (or the active id when nothing is
// chosen), else the first item; -1 for an empty catalog.
int preferred_model_item(const std::vector<ModelEntry>& catalog, std::u16string_view chosen,
                         std::u16string_view active);
// Refill the speaker (id 129) or translation (id 130) model list from its catalog.
void fill_speaker_models(const WorkerState& state, WorkerView& view);
void fill_translation_models(const WorkerState& state, WorkerView& view);

// Empties transcript_lines ("Clear", "+ New session", opening a saved session). Finished lines
// still waiting for their final translation stay pending, no longer shown: each is saved with its
// translation into its own session when that arrives.
void clear_transcript(WorkerState& state);

// A recording has stopped in `session`; `last_audio_ms` holds per channel the tick of its last
// audio frame. The finished lines of a channel that sent audio not claimed before belong to
// `session`, whatever is current when they come, until the worker marks the next session.
void note_capture_stopped(WorkerState& state, SessionKey session,
                          const std::array<std::uint64_t, 2>& last_audio_ms, std::uint64_t now_ms);

// "R" has gone to the worker ("+ New session"): the claims standing now end at the worker's mark.
void note_new_session(WorkerState& state, const std::array<std::uint64_t, 2>& last_audio_ms);

// Ends the claims that have waited too long (called by the window's timer), releasing sessions
// that are owed nothing any more.
void expire_late_answers(WorkerState& state, WorkerView& view);

// True while a finished line with text still waits for its final translation.
bool translations_owed(const WorkerState& state);

// Writes every finished line still waiting for its translation into its session, untranslated,
// and drops every claim: the worker's output has ended, or the window is closing.
void save_pending_finals(WorkerState& state, WorkerView& view);

// True while a finished line of `session` is pending or a stopped recording may still send some.
bool session_lines_owed(const WorkerState& state, SessionKey session);

// The status line of the ready transition for the worker's ready text.
std::u16string ready_status_text(std::u16string_view ready_text, bool translation_unavailable);
inline constexpr char16_t kWorkerStoppedStatus[] =
    u"The recognizer stopped (see worker.log next to the program).";

}  // namespace colloquor
