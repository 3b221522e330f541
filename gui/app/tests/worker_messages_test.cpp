// The window's reaction to each worker line, against a view that records what the window would do.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "app/worker_messages.h"
#include "worker_link/line_parser.h"

namespace colloquor {
namespace {

struct PanelCall {
  std::string op;  // "partial", "final", "drop"
  PanelId panel;
  int channel;
  PanelLine line;
};

struct RecordingView : WorkerView {
  std::vector<std::u16string> statuses;
  std::vector<std::string> calls;  // every call, in order, by name
  bool bar_visible = false;
  int bar_position = -1;
  std::vector<std::u16string> speaker_items, translation_items;
  int speaker_selected = -2, translation_selected = -2;
  int speaker_fills = 0, translation_fills = 0;
  std::vector<PanelCall> panel_calls;
  std::vector<TranscriptLine> session;
  std::vector<SessionKey> session_keys;  // the session of each line in `session`
  std::vector<SessionKey> released;
  SessionKey current = 1;
  std::uint64_t now = 1000;
  std::array<std::uint64_t, 2> audio_ms = {0, 0};
  bool labelled = false;
  bool capturing = false;

  void set_status(std::u16string_view text) override {
    statuses.emplace_back(text);
    calls.push_back("status");
  }
  void show_download_bar(bool visible) override {
    bar_visible = visible;
    calls.push_back(visible ? "show_bar" : "hide_bar");
  }
  void set_download_position(int percent) override {
    bar_position = percent;
    calls.push_back("bar_position");
  }
  void lock_translation_off() override { calls.push_back("lock_translation_off"); }
  void lock_single_voice() override { calls.push_back("lock_single_voice"); }
  void fill_model_list(ModelList list, const std::vector<std::u16string>& items,
                       int selected) override {
    if (list == ModelList::speaker) {
      speaker_items = items, speaker_selected = selected, ++speaker_fills;
    } else {
      translation_items = items, translation_selected = selected, ++translation_fills;
    }
    calls.push_back("fill");
  }
  void set_partial(PanelId panel, int channel, const PanelLine& line) override {
    panel_calls.push_back({"partial", panel, channel, line});
    calls.push_back("panel");
  }
  void append_final(PanelId panel, const PanelLine& line) override {
    panel_calls.push_back({"final", panel, line.channel, line});
    calls.push_back("panel");
  }
  void drop_partial(PanelId panel, int channel) override {
    panel_calls.push_back({"drop", panel, channel, {}});
    calls.push_back("panel");
  }
  SessionKey current_session() override { return current; }
  void append_session_line(SessionKey key, const TranscriptLine& line) override {
    session.push_back(line);
    session_keys.push_back(key);
    calls.push_back("session");
  }
  void release_session(SessionKey key) override { released.push_back(key); }
  std::uint64_t now_ms() override { return now; }
  std::uint64_t last_audio_ms(int channel) override { return audio_ms[channel & 1]; }
  bool lines_labelled() override { return labelled; }
  bool capture_running() override { return capturing; }
  void stop_capture() override {
    capturing = false;
    calls.push_back("stop_capture");
  }
  void send_options() override { calls.push_back("send_options"); }
  void update_controls() override { calls.push_back("update_controls"); }
  void save_settings() override { calls.push_back("save_settings"); }
  void apply_capture_options_with_saving() override { calls.push_back("apply_capture_options"); }
};

class WorkerMessages : public ::testing::Test {
 protected:
  // Feeds worker output exactly as the reader would cut and parse it.
  void worker_says(const std::string& lines) {
    feed_bytes(assembler_, lines, [&](std::string_view line) {
      handle_worker_line(state_, view_, parse_worker_line(line));
    });
  }
  // What the worker sends after its ready status: the mark of its first session on each channel.
  void first_session_marked() {
    worker_says("P\t0\t0\t\t\nT\t0\t0\t\t\nP\t1\t0\t\t\nT\t1\t0\t\t\n");
  }
  void parlivo_makes(char kind, std::u16string text = {}) {
    WorkerLine line;
    line.kind = kind;
    line.text = std::move(text);
    handle_worker_line(state_, view_, line);
  }

  LineAssembler assembler_;
  WorkerState state_;
  RecordingView view_;
};

// --- status, ready, failures ---------------------------------------------------------------------

TEST_F(WorkerMessages, OrdinaryStatusesReplaceTheStatusLine) {
  worker_says("S\tLoading the recognizer...\nS\tReady? not yet\nS\tAlready ready\n");
  EXPECT_EQ(view_.statuses, (std::vector<std::u16string>{u"Loading the recognizer...",
                                                         u"Ready? not yet", u"Already ready"}));
  EXPECT_FALSE(state_.worker_ready);
  EXPECT_FALSE(state_.startup_finished);
}

TEST_F(WorkerMessages, ReadyStatusOpensTheWindowForRecording) {
  view_.bar_visible = true;
  worker_says("S\tready (GPU)\n");
  EXPECT_TRUE(state_.worker_ready);
  EXPECT_TRUE(state_.startup_finished);
  EXPECT_FALSE(view_.bar_visible);
  ASSERT_EQ(view_.statuses.size(), 1u);
  EXPECT_EQ(view_.statuses[0],
            u"Ready (GPU), NLLB translation enabled. Press \"+ New session\", then Record.");
  // The options go out before the controls are updated.
  EXPECT_EQ(view_.calls,
            (std::vector<std::string>{"hide_bar", "send_options", "status", "update_controls"}));
}

TEST_F(WorkerMessages, ReadyAfterTranslationUnavailable) {
  worker_says("N\tTranslation model unavailable: out of memory\n");
  EXPECT_TRUE(state_.translation_unavailable);
  EXPECT_TRUE(view_.statuses.empty());  // the reason is not shown
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"lock_translation_off", "save_settings"}));
  worker_says("S\tready (CPU)\n");
  EXPECT_EQ(view_.statuses.back(),
            u"Ready (CPU), translation unavailable. Press \"+ New session\", then Record.");
}

TEST_F(WorkerMessages, ReadyTextShorterThanSixCharacters) {
  EXPECT_EQ(ready_status_text(u"ready", false),
            u"Ready , NLLB translation enabled. Press \"+ New session\", then Record.");
  EXPECT_EQ(ready_status_text(u"ready!", true),
            u"Ready , translation unavailable. Press \"+ New session\", then Record.");
}

TEST_F(WorkerMessages, BootstrapFailureEndsTheStartUp) {
  parlivo_makes('S', u"Creating the Python environment...");
  EXPECT_FALSE(state_.startup_finished);
  parlivo_makes('E', u"Python could not be installed.");
  EXPECT_TRUE(state_.startup_finished);
  EXPECT_FALSE(state_.worker_ready);
  EXPECT_EQ(view_.statuses.back(), u"Python could not be installed.");
}

TEST_F(WorkerMessages, SpeakersUnavailableFallsBackToOneVoice) {
  worker_says("V\tSpeaker detection unavailable: no model\n");
  EXPECT_TRUE(state_.speakers_unavailable);
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"lock_single_voice", "apply_capture_options"}));
  EXPECT_TRUE(view_.statuses.empty());
}

TEST_F(WorkerMessages, EndOfOutputWhileRecording) {
  worker_says("S\tready (CPU)\n");
  state_.switching_model = true;
  view_.capturing = true;
  view_.calls.clear();
  parlivo_makes('X');
  EXPECT_FALSE(state_.worker_ready);
  EXPECT_FALSE(state_.switching_model);
  EXPECT_TRUE(state_.startup_finished);
  EXPECT_FALSE(view_.capturing);
  EXPECT_EQ(view_.statuses.back(), u"The recognizer stopped (see worker.log next to the program).");
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"stop_capture", "status", "update_controls"}));
}

TEST_F(WorkerMessages, EndOfOutputWhileNotRecordingStopsNothing) {
  parlivo_makes('X');
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"status", "update_controls"}));
  EXPECT_TRUE(state_.startup_finished);
}

TEST_F(WorkerMessages, UnknownKindsChangeNothing) {
  worker_says("A\t1\t2\ten\tx\nQ\t\n?\tready (GPU)\n");
  parlivo_makes('\0');
  EXPECT_TRUE(view_.calls.empty());
  EXPECT_FALSE(state_.startup_finished);
  EXPECT_TRUE(state_.transcript_lines.empty());
}

// --- download progress ---------------------------------------------------------------------------

TEST_F(WorkerMessages, ProgressShowsTheBarCappedAtAHundred) {
  worker_says("D\t150\tDownloading small\n");
  EXPECT_TRUE(view_.bar_visible);
  EXPECT_EQ(view_.bar_position, 100);
  EXPECT_EQ(view_.statuses.back(), u"Downloading small");
  worker_says("D\t0\tStarting\n");
  EXPECT_EQ(view_.bar_position, 0);
}

TEST_F(WorkerMessages, NegativeProgressHidesTheBarAndKeepsTheStatus) {
  worker_says("D\t37\tDownloading NLLB\nD\t-1\t\n");
  EXPECT_FALSE(view_.bar_visible);
  EXPECT_EQ(view_.statuses, std::vector<std::u16string>{u"Downloading NLLB"});
  EXPECT_EQ(view_.bar_position, 37);
}

// --- catalogs and active models ------------------------------------------------------------------

TEST_F(WorkerMessages, CatalogEntriesFillTheListInOrder) {
  worker_says(
      "Z\tnllb13\nK\t0\tnllb13\tNLLB-200 1.3B\t2700\t1\nK\t1\tnllb33\tNLLB-200 3.3B\t6600\t0\n");
  ASSERT_EQ(state_.translation_catalog.size(), 2u);
  EXPECT_EQ(state_.translation_catalog[1].id, u"nllb33");
  EXPECT_EQ(state_.translation_catalog[1].size_mb, 6600);
  EXPECT_FALSE(state_.translation_catalog[1].installed);
  EXPECT_EQ(view_.translation_items,
            (std::vector<std::u16string>{u"NLLB-200 1.3B  (2700 MB, installed)",
                                         u"NLLB-200 3.3B  (6600 MB, will be downloaded)"}));
  EXPECT_EQ(view_.translation_selected, 0);
  EXPECT_EQ(view_.speaker_fills, 0);
}

TEST_F(WorkerMessages, IndexZeroStartsANewCatalog) {
  worker_says(
      "C\t0\tresnet34\tResNet34\t25\t1\nC\t1\tcampp\tCAM++"
      "\t28\t0\nC\t2\ttitanet\tTitaNet\t90\t0\n");
  ASSERT_EQ(state_.speaker_catalog.size(), 3u);
  worker_says("C\t0\tcampp\tCAM++\t28\t1\nC\t1\tresnet34\tResNet34\t25\t1\n");
  ASSERT_EQ(state_.speaker_catalog.size(), 2u);
  EXPECT_EQ(state_.speaker_catalog[0].id, u"campp");
  EXPECT_TRUE(state_.speaker_catalog[0].installed);
  EXPECT_EQ(view_.speaker_items.size(), 2u);
  EXPECT_EQ(view_.speaker_fills, 5);
}

TEST_F(WorkerMessages, CatalogLinesWithFewerThanFiveFieldsAreIgnored) {
  worker_says("C\t0\tresnet34\tResNet34\t25\t1\n");
  worker_says("C\t0\tbroken\tBroken\t25\n");  // would have emptied the catalog
  ASSERT_EQ(state_.speaker_catalog.size(), 1u);
  EXPECT_EQ(state_.speaker_catalog[0].id, u"resnet34");
  EXPECT_EQ(view_.speaker_fills, 1);
}

TEST_F(WorkerMessages, CatalogFieldsAreReadLeniently) {
  worker_says("K\t0\tmadlad3b\tMADLAD-400 3B\t 12000 MB\t1 \nK\t1\tx\tX\tabc\t1\t\textra\n");
  ASSERT_EQ(state_.translation_catalog.size(), 2u);
  EXPECT_EQ(state_.translation_catalog[0].size_mb, 12000);
  EXPECT_FALSE(state_.translation_catalog[0].installed);  // "1 " is not exactly "1"
  EXPECT_EQ(state_.translation_catalog[1].size_mb, 0);
  EXPECT_TRUE(state_.translation_catalog[1].installed);
}

TEST_F(WorkerMessages, ActiveModelIsMarkedInstalledChosenAndSelected) {
  worker_says("C\t0\tresnet34\tResNet34\t25\t0\nC\t1\tcampp\tCAM++\t28\t0\n");
  state_.switching_model = true;
  view_.bar_visible = true;
  worker_says("M\tcampp\n");
  EXPECT_EQ(state_.active_speaker_model, u"campp");
  EXPECT_EQ(state_.chosen_speaker_model, u"campp");  // nothing was chosen before
  EXPECT_FALSE(state_.switching_model);
  EXPECT_TRUE(state_.speaker_catalog[1].installed);
  EXPECT_FALSE(state_.speaker_catalog[0].installed);
  EXPECT_EQ(view_.speaker_items[1], u"CAM++  (28 MB, installed)");
  EXPECT_EQ(view_.speaker_selected, 1);
  EXPECT_FALSE(view_.bar_visible);
}

TEST_F(WorkerMessages, AFailedLoadKeepsTheBarAndSelectsTheChoiceAgain) {
  state_.chosen_translation_model = u"nllb33";
  worker_says("K\t0\tnllb13\tNLLB-200 1.3B\t2700\t1\nK\t1\tnllb33\tNLLB-200 3.3B\t6600\t0\n");
  view_.bar_visible = true;
  state_.switching_model = true;
  worker_says("Z\t\n");
  EXPECT_TRUE(state_.active_translation_model.empty());
  EXPECT_EQ(state_.chosen_translation_model, u"nllb33");
  EXPECT_FALSE(state_.switching_model);
  EXPECT_TRUE(view_.bar_visible);
  EXPECT_EQ(view_.translation_selected, 1);
  EXPECT_FALSE(state_.translation_catalog[1].installed);
}

TEST(ModelLists, PreferredItem) {
  const std::vector<ModelEntry> catalog = {
      {u"a", u"A", 1, false}, {u"b", u"B", 2, false}, {u"a", u"A2", 3, false}};
  EXPECT_EQ(preferred_model_item(catalog, u"b", u"a"), 1);  // the choice wins over the active id
  EXPECT_EQ(preferred_model_item(catalog, u"", u"b"), 1);
  EXPECT_EQ(preferred_model_item(catalog, u"a", u""), 2);    // the last entry with the id
  EXPECT_EQ(preferred_model_item(catalog, u"zz", u"b"), 0);  // an unknown choice: the first item
  EXPECT_EQ(preferred_model_item({}, u"a", u"a"), -1);
  EXPECT_EQ(model_item_text({u"x", u"Small", 38, false}), u"Small  (38 MB, will be downloaded)");
  EXPECT_EQ(model_item_text({u"x", u"Neg", -5, true}), u"Neg  (-5 MB, installed)");
}

// --- partial and finished lines ------------------------------------------------------------------

TEST_F(WorkerMessages, PartialsGoToTheirPanelWithTheLabelDecidedOnArrival) {
  view_.labelled = true;
  worker_says("P\t1\t2\ten\tHel\n");
  view_.labelled = false;
  worker_says("T\t3\t2\tru\tПри\nP\t0\t0\ten\t\n");
  ASSERT_EQ(view_.panel_calls.size(), 3u);
  EXPECT_EQ(view_.panel_calls[0].panel, PanelId::recognized);
  EXPECT_EQ(view_.panel_calls[0].channel, 1);
  EXPECT_EQ(view_.panel_calls[0].line.speaker, 2);
  EXPECT_TRUE(view_.panel_calls[0].line.labelled);
  EXPECT_EQ(view_.panel_calls[0].line.text, u"Hel");
  EXPECT_EQ(view_.panel_calls[1].panel, PanelId::translation);
  EXPECT_EQ(view_.panel_calls[1].channel, 1);  // only the lowest bit of the channel counts
  EXPECT_EQ(view_.panel_calls[1].line.channel, 1);
  EXPECT_FALSE(view_.panel_calls[1].line.labelled);
  EXPECT_EQ(view_.panel_calls[2].op, "partial");  // an empty text hides the line
  EXPECT_TRUE(view_.panel_calls[2].line.text.empty());
  EXPECT_TRUE(state_.transcript_lines.empty());
}

TEST_F(WorkerMessages, TwoFinishedLinesThenOneTranslationPairsTheOldest) {
  view_.labelled = true;
  worker_says("F\t0\t1\ten\tHello.\nF\t0\t1\ten\tHow are you?\nU\t0\t1\tru\tПривет.\n");
  ASSERT_EQ(state_.transcript_lines.size(), 2u);
  EXPECT_EQ(state_.transcript_lines[0].translation, u"Привет.");
  EXPECT_EQ(state_.transcript_lines[0].translation_language, "ru");
  EXPECT_EQ(state_.transcript_lines[0].language, "en");
  EXPECT_TRUE(state_.transcript_lines[0].labelled);
  EXPECT_TRUE(state_.transcript_lines[1].translation.empty());
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].text, u"Hello.");
  EXPECT_EQ(view_.session[0].translation, u"Привет.");
  EXPECT_EQ(state_.pending_finals[0].size(), 1u);

  worker_says("U\t0\t1\tru\tКак дела?\n");
  ASSERT_EQ(view_.session.size(), 2u);
  EXPECT_EQ(view_.session[1].text, u"How are you?");
  EXPECT_EQ(view_.session[1].translation, u"Как дела?");
  EXPECT_TRUE(state_.pending_finals[0].empty());

  // Panels: two finished lines above, one finished translation below, then the second.
  std::vector<std::string> ops;
  for (const PanelCall& call : view_.panel_calls) {
    ops.push_back(call.op + (call.panel == PanelId::recognized ? ":rec" : ":tr"));
  }
  EXPECT_EQ(ops, (std::vector<std::string>{"final:rec", "final:rec", "final:tr", "final:tr"}));
  EXPECT_EQ(view_.panel_calls[2].line.text, u"Привет.");
  EXPECT_TRUE(view_.panel_calls[2].line.labelled);
}

// Finished lines are translated on their own thread: their "U" lines may come after the next
// partial and finished lines of the channel, still in the order of the "F" lines.
TEST_F(WorkerMessages, LateTranslationsPairWithTheirLinesInOrder) {
  worker_says(
      "F\t0\t0\ten\tOne.\nP\t0\t0\ten\tTw\nT\t0\t0\tru\t\nF\t0\t0\ten\tTwo.\n"
      "F\t1\t0\tru\tДа.\nF\t0\t0\ten\t\nU\t0\t0\tru\tРаз.\n");
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].translation, u"Раз.");
  worker_says("U\t1\t0\ten\tYes.\nU\t0\t0\tru\tДва.\nU\t0\t0\tru\t\n");
  ASSERT_EQ(view_.session.size(), 3u);
  EXPECT_EQ(view_.session[1].text, u"Да.");
  EXPECT_EQ(view_.session[1].translation, u"Yes.");
  EXPECT_EQ(view_.session[2].text, u"Two.");
  EXPECT_EQ(view_.session[2].translation, u"Два.");
  ASSERT_EQ(state_.transcript_lines.size(), 3u);
  EXPECT_EQ(state_.transcript_lines[1].translation, u"Два.");
  EXPECT_TRUE(state_.pending_finals[0].empty());
  EXPECT_TRUE(state_.pending_finals[1].empty());
}

TEST_F(WorkerMessages, TheTranslationKeepsTheLabelOfItsLine) {
  view_.labelled = true;
  worker_says("F\t1\t3\tde\tHallo.\n");
  view_.labelled = false;  // the option changed in between
  worker_says("U\t1\t3\ten\tHello.\n");
  ASSERT_EQ(view_.panel_calls.size(), 2u);
  EXPECT_TRUE(view_.panel_calls[1].line.labelled);
  EXPECT_EQ(view_.panel_calls[1].line.speaker, 3);
  EXPECT_EQ(view_.panel_calls[1].line.channel, 1);
}

TEST_F(WorkerMessages, AnEmptyFinishedLineWritesNothingAndDropsThePartials) {
  worker_says("P\t1\t0\tuk\tщо\nT\t1\t0\ten\twhat\nF\t1\t0\tuk\t\nU\t1\t0\ten\t\n");
  EXPECT_TRUE(state_.transcript_lines.empty());
  EXPECT_TRUE(view_.session.empty());
  ASSERT_EQ(view_.panel_calls.size(), 4u);
  EXPECT_EQ(view_.panel_calls[2].op, "drop");
  EXPECT_EQ(view_.panel_calls[2].panel, PanelId::recognized);
  EXPECT_EQ(view_.panel_calls[3].op, "drop");
  EXPECT_EQ(view_.panel_calls[3].panel, PanelId::translation);
  EXPECT_EQ(view_.panel_calls[3].channel, 1);
  EXPECT_TRUE(state_.pending_finals[1].empty());
}

TEST_F(WorkerMessages, AnEmptyTranslationStillSavesTheLine) {
  worker_says("F\t0\t0\ten\tOK.\nU\t0\t0\t\t\n");
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].text, u"OK.");
  EXPECT_TRUE(view_.session[0].translation.empty());
  EXPECT_TRUE(view_.session[0].translation_language.empty());
  EXPECT_EQ(view_.panel_calls.back().op, "drop");
}

TEST_F(WorkerMessages, ATranslationWithNothingWaitingOnlyDropsThePartial) {
  worker_says("U\t0\t0\tru\tstray\n");
  EXPECT_TRUE(view_.session.empty());
  ASSERT_EQ(view_.panel_calls.size(), 1u);
  EXPECT_EQ(view_.panel_calls[0].op, "drop");
  EXPECT_EQ(view_.panel_calls[0].panel, PanelId::translation);
}

TEST_F(WorkerMessages, ChannelsPairIndependently) {
  worker_says("F\t0\t0\ten\tmine\nF\t1\t2\tde\ttheirs\nU\t1\t2\ten\ttheirs translated\n");
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].text, u"theirs");
  EXPECT_EQ(view_.session[0].channel, 1);
  EXPECT_EQ(view_.session[0].speaker, 2);
  worker_says("U\t0\t0\tde\tmeins\n");
  ASSERT_EQ(view_.session.size(), 2u);
  EXPECT_EQ(view_.session[1].text, u"mine");
}

TEST_F(WorkerMessages, ALineNoLongerShownIsStillSaved) {
  worker_says("F\t0\t0\ten\tgone\n");
  state_.transcript_lines.clear();  // as when another component emptied the list
  worker_says("U\t0\t0\tru\tx\n");
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].translation, u"x");
  EXPECT_EQ(view_.panel_calls.back().op, "drop");
}

// --- clearing while lines wait for their translation ---------------------------------------------

TEST_F(WorkerMessages, ClearingKeepsWaitingLinesAndSavesThemWithTheirTranslations) {
  worker_says("F\t0\t0\ten\tfirst\nU\t0\t0\tru\tпервый\nF\t0\t0\ten\tsecond\nF\t1\t0\ten\t\n");
  ASSERT_EQ(view_.session.size(), 1u);
  clear_transcript(state_);
  EXPECT_TRUE(state_.transcript_lines.empty());
  EXPECT_EQ(view_.session.size(), 1u);  // "second" waits for its translation
  const std::size_t panel_calls = view_.panel_calls.size();

  worker_says("U\t0\t0\tru\tвторой\nU\t1\t0\t\t\n");
  ASSERT_EQ(view_.session.size(), 2u);
  EXPECT_EQ(view_.session[1].text, u"second");
  EXPECT_EQ(view_.session[1].translation, u"второй");
  EXPECT_EQ(view_.session_keys[1], 1);
  EXPECT_TRUE(state_.transcript_lines.empty()) << "a cleared line is not shown again";
  for (std::size_t i = panel_calls; i < view_.panel_calls.size(); ++i) {
    EXPECT_NE(view_.panel_calls[i].op, "final");
  }

  // Pairing goes on normally afterwards, with fresh indexes.
  worker_says("F\t0\t0\ten\tthird\nU\t0\t0\tru\tтретий\n");
  ASSERT_EQ(view_.session.size(), 3u);
  EXPECT_EQ(view_.session[2].translation, u"третий");
  EXPECT_EQ(state_.transcript_lines.size(), 1u);
  EXPECT_EQ(state_.transcript_lines[0].translation, u"третий");
}

// --- lines that outlive their view: the worker's end, closing, late answers
// ------------------------

TEST_F(WorkerMessages, WaitingLinesAreSavedUntranslatedWhenTheWorkerEndsOrTheWindowCloses) {
  worker_says("F\t0\t0\ten\tonly line\nF\t1\t2\tde\t\n");
  parlivo_makes('X');
  ASSERT_EQ(view_.session.size(), 1u);
  EXPECT_EQ(view_.session[0].text, u"only line");
  EXPECT_TRUE(view_.session[0].translation.empty());
  EXPECT_TRUE(state_.pending_finals[0].empty() && state_.pending_finals[1].empty());

  state_ = WorkerState{};
  worker_says("F\t1\t0\tde\tnoch\n");
  save_pending_finals(state_, view_);
  ASSERT_EQ(view_.session.size(), 2u);
  EXPECT_EQ(view_.session[1].text, u"noch");
  save_pending_finals(state_, view_);
  EXPECT_EQ(view_.session.size(), 2u) << "saved once";
}

// Stop, "+ New session", Record and speak at once, while the translations of the stopped
// recording come seconds late: every "F" goes to the session whose audio it came from, every "U"
// to the session of its own "F".
TEST_F(WorkerMessages, LateTranslationsNeverMoveALineIntoTheOtherSession) {
  first_session_marked();
  worker_says("F\t0\t0\ten\tFirst.\n");
  view_.audio_ms = {4990, 0};
  view_.now = 5000;
  note_capture_stopped(state_, 1, view_.audio_ms, view_.now);
  EXPECT_TRUE(session_lines_owed(state_, 1));

  view_.current = 2;  // "+ New session"
  clear_transcript(state_);
  note_new_session(state_, view_.audio_ms);
  const std::size_t panel_calls = view_.panel_calls.size();
  view_.audio_ms = {6000, 0};           // Record, and the user speaks at once
  worker_says("F\t0\t0\ten\tLast.\n");  // the stopped recording's last utterance
  EXPECT_EQ(view_.panel_calls.size(), panel_calls) << "nothing of session 1 in session 2's panels";
  worker_says("P\t0\t0\t\t\nT\t0\t0\t\t\n");  // the worker's mark: session 1's audio is answered
  EXPECT_TRUE(view_.released.empty()) << "session 1 still waits for two translations";
  worker_says("P\t0\t0\ten\tNew\nT\t0\t0\tru\t\nF\t0\t0\ten\tNew.\n");
  EXPECT_EQ(state_.transcript_lines.size(), 1u);

  view_.now = 9000;  // the translations, oldest first, seconds after the last "F"
  worker_says("U\t0\t0\tru\tПервое.\nU\t0\t0\tru\tПоследнее.\n");
  EXPECT_EQ(view_.released, (std::vector<SessionKey>{1}));
  worker_says("U\t0\t0\tru\tНовое.\n");
  ASSERT_EQ(view_.session.size(), 3u);
  EXPECT_EQ(view_.session_keys, (std::vector<SessionKey>{1, 1, 2}));
  EXPECT_EQ(view_.session[0].translation, u"Первое.");
  EXPECT_EQ(view_.session[1].text, u"Last.");
  EXPECT_EQ(view_.session[1].translation, u"Последнее.");
  EXPECT_EQ(view_.session[2].translation, u"Новое.");
  EXPECT_EQ(state_.transcript_lines[0].translation, u"Новое.");
}

TEST_F(WorkerMessages, AClaimHoldsUntilTheMarkThatFollowsTheNewSession) {
  first_session_marked();
  view_.audio_ms = {0, 3000};
  note_capture_stopped(state_, 1, view_.audio_ms, view_.now);
  worker_says("P\t1\t0\ten\tstill session one\nT\t1\t0\t\t\n");  // before any "R"
  view_.current = 2;
  note_new_session(state_, view_.audio_ms);
  worker_says("F\t1\t0\ten\tOld.\nP\t0\t0\t\t\n");  // the other channel's mark
  worker_says("F\t1\t0\ten\tOlder still.\nP\t1\t0\t\t\nF\t1\t0\ten\tNew.\n");
  parlivo_makes('X');  // saves them untranslated
  EXPECT_EQ(view_.session_keys, (std::vector<SessionKey>{1, 1, 2}));
}

TEST_F(WorkerMessages, TwoStoppedRecordingsEachEndAtTheirOwnMark) {
  first_session_marked();
  view_.audio_ms = {1000, 0};
  note_capture_stopped(state_, 1, view_.audio_ms, 1000);
  view_.current = 2;
  note_new_session(state_, view_.audio_ms);
  view_.audio_ms = {2000, 0};  // session 2 recorded and stopped before session 1 was answered
  note_capture_stopped(state_, 2, view_.audio_ms, 2000);
  view_.current = 3;
  note_new_session(state_, view_.audio_ms);
  worker_says(
      "F\t0\t0\ten\tOne.\nP\t0\t0\t\t\nF\t0\t0\ten\tTwo.\nP\t0\t0\t\t\n"
      "F\t0\t0\ten\tThree.\n");
  parlivo_makes('X');
  EXPECT_EQ(view_.session_keys, (std::vector<SessionKey>{1, 2, 3}));
}

TEST_F(WorkerMessages, AWorkerThatSendsNoPartialLinesEndsTheClaimWithTheNewAudio) {
  view_.audio_ms = {4000, 0};
  note_capture_stopped(state_, 1, view_.audio_ms, 5000);
  view_.current = 2;
  note_new_session(state_, view_.audio_ms);
  worker_says("F\t0\t0\ten\tOld.\n");
  view_.audio_ms = {7000, 0};
  worker_says("F\t0\t0\ten\tNew.\n");
  parlivo_makes('X');
  EXPECT_EQ(view_.session_keys, (std::vector<SessionKey>{1, 2}));
}

TEST_F(WorkerMessages, AChannelWithoutNewAudioClaimsNothing) {
  first_session_marked();
  view_.audio_ms = {0, 2990};
  note_capture_stopped(state_, 1, view_.audio_ms, 3000);
  worker_says("F\t1\t0\ten\tDone.\nU\t1\t0\t\t\n");
  note_capture_stopped(state_, 1, view_.audio_ms, 4000);  // resumed and stopped without speech
  view_.current = 2;
  note_new_session(state_, view_.audio_ms);
  worker_says("P\t1\t0\t\t\n");
  EXPECT_EQ(view_.released, (std::vector<SessionKey>{1}));
  worker_says("F\t0\t0\ten\tNew.\nU\t0\t0\t\t\nF\t1\t0\ten\tNew too.\nU\t1\t0\t\t\n");
  EXPECT_EQ(view_.session_keys, (std::vector<SessionKey>{1, 2, 2}));
}

TEST_F(WorkerMessages, AClaimThatIsNeverAnsweredEndsAtTheLimit) {
  view_.audio_ms = {0, 900};
  note_capture_stopped(state_, 1, view_.audio_ms, view_.now);
  view_.current = 2;
  view_.now += kLateAnswerLimitMs - 1;
  expire_late_answers(state_, view_);
  EXPECT_TRUE(view_.released.empty());
  view_.now += 1;
  expire_late_answers(state_, view_);
  EXPECT_EQ(view_.released, (std::vector<SessionKey>{1}));
}

// --- a whole start-up as the worker sends it -----------------------------------------------------

TEST_F(WorkerMessages, AWholeStartUp) {
  worker_says(
      "S\tChecking packages...\nD\t10\tDownloading small: 10%\nD\t-1\t\nZ\tnllb13\n"
      "K\t0\tnllb13\tNLLB-200 1.3B\t2700\t1\nK\t1\tnllb33\tNLLB-200 3.3B\t6600\t0\n"
      "K\t2\tmadlad3b\tMADLAD-400 3B\t12000\t0\nV\tSpeaker detection unavailable: x\n"
      "C\t0\tresnet34\tResNet34\t25\t0\nS\tready (CPU)\n");
  EXPECT_TRUE(state_.worker_ready);
  EXPECT_TRUE(state_.speakers_unavailable);
  EXPECT_FALSE(state_.translation_unavailable);
  EXPECT_EQ(state_.chosen_translation_model, u"nllb13");
  EXPECT_TRUE(state_.chosen_speaker_model.empty());
  EXPECT_EQ(view_.translation_items.size(), 3u);
  EXPECT_EQ(view_.translation_selected, 0);
  EXPECT_EQ(view_.speaker_selected, 0);
  EXPECT_EQ(view_.statuses.back(),
            u"Ready (CPU), NLLB translation enabled. Press \"+ New session\", then Record.");
}

}  // namespace
}  // namespace colloquor
