// The Sessions list model: item labels, the file-name fallback, newest-first order, and the
// operations (load, view, delete, the session file's notifications) against an in-memory window
// and file system that behaves like the session file module: closing an empty current session
// deletes its file and tells the history.
#include "transcript/history.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace colloquor {
namespace {

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
  return out;
}

// ---- Labels ---------------------------------------------------------------------------------

TEST(HistoryLabel, DateTimeAndLineCountOfATimeStamp) {
  const HistoryEntry entry{u"C:\\p\\history\\2024-05-01_14-03-22.txt", u"2024-05-01_14-03-22", 12};
  EXPECT_EQ(history_label(entry, false), u"2024-05-01   14:03:22   (12)");
  EXPECT_EQ(history_label(entry, true), u"\u25CF 2024-05-01   14:03:22   (12)");
}

TEST(HistoryLabel, ShortLabelsHaveNoTime) {
  EXPECT_EQ(history_label({u"", u"notes", 4}, false), u"notes      (4)");
  // 18 characters: one short of a time.
  EXPECT_EQ(history_label({u"", u"2024-05-01_14-03-2", 0}, false), u"2024-05-01      (0)");
  EXPECT_EQ(history_label({u"", u"", 0}, false), u"      (0)");
}

TEST(HistoryLabel, OnlyTheTimeHasItsDashesReplacedAndLongerLabelsAreCut) {
  EXPECT_EQ(history_label({u"", u"2024-05-01_14-03-22_2", 1}, false),
            u"2024-05-01   14:03:22   (1)");
  EXPECT_EQ(history_label({u"", u"a-b-c-d-e-f-g-h-i-j-k", 1}, false),
            u"a-b-c-d-e-   :g:h:i:j   (1)");
}

TEST(FileStem, NameAfterTheLastSeparatorWithoutItsLastExtension) {
  EXPECT_EQ(file_stem(u"C:\\prog\\history\\notes.txt"), u"notes");
  EXPECT_EQ(file_stem(u"C:/prog/history/talk.2024.txt"), u"talk.2024");
  EXPECT_EQ(file_stem(u"C:\\dir.d\\plain"), u"plain");
  EXPECT_EQ(file_stem(u"mixed\\a/b.txt"), u"b");
  EXPECT_EQ(file_stem(u"C:\\h\\.txt"), u"");
}

TEST(HistoryEntryOf, StampWhenTheHeaderHasOneElseTheFileName) {
  const SessionContents with_header =
      read_session_text("#V1\t2024-05-01_09-00-00\nU\t0\t0\t0\ten\t\ta\t\n");
  const HistoryEntry a = history_entry_of(u"C:\\h\\x.txt", with_header);
  EXPECT_EQ(a.label, u"2024-05-01_09-00-00");
  EXPECT_EQ(a.line_count, 1);
  EXPECT_EQ(a.path, u"C:\\h\\x.txt");

  const SessionContents bare_header = read_session_text("#V1\nU\t0\t0\t0\ten\t\ta\t\n");
  EXPECT_EQ(history_entry_of(u"C:\\h\\2024-05-02_10-30-00.txt", bare_header).label,
            u"2024-05-02_10-30-00");
}

TEST(SortHistory, NewestFirstByCodeUnitsLongerBeforeItsPrefixTiesKeepOrder) {
  std::vector<HistoryEntry> entries = {
      {u"1", u"2024-05-01_09-00-00", 0},   {u"2", u"2024-05-02_10-30-00", 0},
      {u"3", u"2024-05-01_09-00-00_2", 0}, {u"4", u"notes", 0},
      {u"5", u"\u00E9t\u00E9", 0},  // é (0xE9) sorts above every ASCII letter
      {u"6", u"2024-05-01_09-00-00", 0},   {u"7", u"Notes", 0}};
  sort_history(entries);
  std::string order;
  for (const HistoryEntry& entry : entries) order += narrow(entry.path);
  EXPECT_EQ(order, "5472316");
}

// ---- Operations -------------------------------------------------------------------------------

// The window, the list box and the files in memory. The current session follows the session file
// module's rules: an append counts a line, closing it without lines deletes its file and removes
// its entry through the history's own notification.
class FakeWindow final : public HistoryView {
 public:
  explicit FakeWindow(HistoryList& list) : list_(list) {}

  // Files on "disk" by path: their bytes.
  std::map<std::u16string, std::string> files;
  std::vector<std::u16string> items;
  int selection = -1;
  int fills = 0;
  std::vector<std::string> events;
  bool answer_yes = true;
  int questions = 0;
  bool recording = false;
  bool open = false;
  std::u16string current;
  int current_lines = 0;
  std::vector<TranscriptLine> transcript;
  std::u16string status;

  void fill_list(const std::vector<std::u16string>& new_items, int new_selection) override {
    items = new_items;
    selection = new_selection;
    ++fills;
    events.push_back("fill " + std::to_string(new_selection));
  }
  void replace_item(int index, const std::u16string& text) override {
    ASSERT_GE(index, 0);
    ASSERT_LT(static_cast<std::size_t>(index), items.size());
    items[static_cast<std::size_t>(index)] = text;
    events.push_back("replace " + std::to_string(index));
  }
  bool confirm_delete() override {
    ++questions;
    return answer_yes;
  }
  bool capture_running() override { return recording; }
  bool session_open() override { return open; }
  void clear_session_open() override {
    open = false;
    events.push_back("session closed");
  }
  std::u16string current_session_path() override { return current; }
  void close_session_file() override {
    events.push_back("close file");
    const std::u16string path = current;
    const bool empty = !path.empty() && current_lines == 0;
    current.clear();
    current_lines = 0;
    if (empty) {
      files.erase(path);
      history_session_removed(list_, *this, path);
    }
  }
  SessionContents read_session_file(const std::u16string& path) override {
    auto found = files.find(path);
    return found == files.end() ? SessionContents{} : read_session_text(found->second);
  }
  void delete_file(const std::u16string& path) override {
    events.push_back("delete " + narrow(path));
    files.erase(path);
  }
  void clear_transcript() override {
    transcript.clear();
    events.push_back("clear");
  }
  void show_saved_lines(const std::vector<TranscriptLine>& lines) override {
    transcript.insert(transcript.end(), lines.begin(), lines.end());
  }
  void update_controls() override { events.push_back("update"); }
  void set_status(std::u16string_view text) override { status = text; }

  // A new session as "+ New session" makes it: the file with its header, the entry at the front.
  void new_session(const std::u16string& path, const std::u16string& stamp) {
    close_session_file();
    files[path] = "#V1\t" + narrow(stamp) + "\n";
    current = path;
    current_lines = 0;
    open = true;
    history_session_created(list_, *this, path, stamp);
  }
  void save_line(const std::string& row) {
    files[current] += row;
    ++current_lines;
    history_line_saved(list_, *this, current);
  }

 private:
  HistoryList& list_;
};

const std::u16string kMay1 = u"C:\\p\\history\\2024-05-01_09-00-00.txt";
const std::u16string kMay2 = u"C:\\p\\history\\2024-05-02_10-30-00.txt";
const std::u16string kNotes = u"C:\\p\\history\\notes.txt";

class HistoryOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    window.files[kMay1] =
        "#V1\t2024-05-01_09-00-00\n"
        "U\t0\t1\t0\tru\ten\t\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\tHello\n"
        "U\t1\t2\t1\ten\tru\tHi there\t\n"
        "U\t0\t0\t0\tru\ten\tthird\tdritte\n";
    window.files[kMay2] = "U\t1\t3\t1\tde\tru\tHallo\tPrivet\n";  // no header
    window.files[kNotes] = "free text\n";
    load_history(list, window, {kMay1, kNotes, kMay2});
    window.events.clear();
  }

  HistoryList list;
  FakeWindow window{list};
};

TEST_F(HistoryOperations, LoadListsNewestFirstUnselectedWithLineCounts) {
  ASSERT_EQ(window.items.size(), 3u);
  EXPECT_EQ(window.items[0], u"notes      (0)");
  EXPECT_EQ(window.items[1], u"2024-05-02   10:30:00   (1)");
  EXPECT_EQ(window.items[2], u"2024-05-01   09:00:00   (3)");
  EXPECT_EQ(window.selection, -1);
  EXPECT_EQ(list.entries[1].path, kMay2);
}

TEST_F(HistoryOperations, AFileThatCannotBeReadIsListedEmpty) {
  const std::u16string missing = u"C:\\p\\history\\2024-06-01_00-00-00.txt";
  load_history(list, window, {kMay1, missing});
  ASSERT_EQ(window.items.size(), 2u);
  EXPECT_EQ(window.items[0], u"2024-06-01   00:00:00   (0)");
}

TEST_F(HistoryOperations, ViewingShowsTheSavedLinesAndKeepsTheEntrySelected) {
  open_history_entry(list, window, 2);
  ASSERT_EQ(window.transcript.size(), 3u);
  EXPECT_EQ(window.transcript[0].text, u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(window.transcript[0].translation, u"Hello");
  EXPECT_EQ(window.transcript[1].channel, 1);
  EXPECT_EQ(window.transcript[1].speaker, 2);
  EXPECT_TRUE(window.transcript[1].labelled);
  EXPECT_EQ(window.transcript[1].translation, u"");
  EXPECT_EQ(window.transcript[2].translation_language, "en");
  EXPECT_EQ(window.selection, 2);
  EXPECT_EQ(window.status, kViewingStatus);
  // The waiting lines go to the still-open session file before it is closed, and the viewed entry
  // is selected after the window updated its controls (which select the current session's).
  EXPECT_EQ(window.events, (std::vector<std::string>{"clear", "close file", "session closed",
                                                     "update", "fill 2"}));
}

TEST_F(HistoryOperations, ViewingIgnoresBadIndexesRecordingAndTheOpenCurrentSession) {
  for (int index : {-1, 3, 100}) open_history_entry(list, window, index);
  window.recording = true;
  open_history_entry(list, window, 0);
  window.recording = false;
  EXPECT_TRUE(window.events.empty());

  window.new_session(u"C:\\p\\history\\2024-07-01_08-00-00.txt", u"2024-07-01_08-00-00");
  window.events.clear();
  open_history_entry(list, window, 0);  // the current session is already on screen
  EXPECT_TRUE(window.events.empty());
  EXPECT_TRUE(window.open);
}

TEST_F(HistoryOperations, ViewingAfterAnEmptyNewSessionRemovesItAndSelectsTheShiftedEntry) {
  window.new_session(u"C:\\p\\history\\2024-07-01_08-00-00.txt", u"2024-07-01_08-00-00");
  ASSERT_EQ(window.items.size(), 4u);
  EXPECT_EQ(window.selection, 0);
  open_history_entry(list, window, 3);  // the 1 May session, item 2 once the empty one is gone
  EXPECT_EQ(window.items.size(), 3u);
  EXPECT_EQ(window.files.count(u"C:\\p\\history\\2024-07-01_08-00-00.txt"), 0u);
  EXPECT_EQ(window.selection, 2);
  EXPECT_EQ(window.items[2], u"2024-05-01   09:00:00   (3)");
  EXPECT_EQ(window.transcript.size(), 3u);
  EXPECT_FALSE(window.open);
}

TEST_F(HistoryOperations, ViewingAnEntryWhoseFileVanishedShowsNothingAndSelectsIt) {
  window.files.erase(kMay2);
  window.transcript.push_back(TranscriptLine{});
  open_history_entry(list, window, 1);
  EXPECT_TRUE(window.transcript.empty());
  EXPECT_EQ(window.selection, 1);
}

TEST_F(HistoryOperations, DeleteAsksAndDoesNothingUnlessConfirmed) {
  window.answer_yes = false;
  delete_history_entry(list, window, 1);
  EXPECT_EQ(window.questions, 1);
  EXPECT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(window.files.count(kMay2), 1u);

  delete_history_entry(list, window, -1);
  delete_history_entry(list, window, 3);
  EXPECT_EQ(window.questions, 1);  // no question for nothing
}

TEST_F(HistoryOperations, DeleteRemovesTheFileAndTheEntry) {
  delete_history_entry(list, window, 1);
  EXPECT_EQ(window.files.count(kMay2), 0u);
  ASSERT_EQ(window.items.size(), 2u);
  EXPECT_EQ(window.items[1], u"2024-05-01   09:00:00   (3)");
  EXPECT_EQ(window.selection, -1);
  EXPECT_EQ(find_history_entry(list, kMay2), -1);
}

TEST_F(HistoryOperations, DeletingTheCurrentSessionClosesItFirst) {
  const std::u16string path = u"C:\\p\\history\\2024-07-01_08-00-00.txt";
  window.new_session(path, u"2024-07-01_08-00-00");
  window.save_line("U\t0\t0\t0\ten\t\tsaid\t\n");
  window.events.clear();
  window.transcript.push_back(TranscriptLine{});
  delete_history_entry(list, window, 0);
  EXPECT_EQ(window.events, (std::vector<std::string>{"close file", "session closed", "update",
                                                     "delete " + narrow(path), "fill -1"}));
  EXPECT_EQ(window.files.count(path), 0u);
  EXPECT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(window.transcript.size(), 1u);  // the panels are left as they are
}

TEST_F(HistoryOperations, DeletingAnEmptyCurrentSessionRemovesOnlyItsOwnEntry) {
  window.new_session(u"C:\\p\\history\\2024-07-01_08-00-00.txt", u"2024-07-01_08-00-00");
  delete_history_entry(list, window, 0);
  // Closing it already removed its entry; the entries that moved up stay.
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(list.entries[0].path, kNotes);
  EXPECT_EQ(window.files.size(), 3u);
}

TEST_F(HistoryOperations, ANewSessionIsListedFirstSelectedAndCountsItsLines) {
  const std::u16string path = u"C:\\p\\history\\2024-07-01_08-00-00.txt";
  window.new_session(path, u"2024-07-01_08-00-00");
  EXPECT_EQ(window.items[0], u"2024-07-01   08:00:00   (0)");
  EXPECT_EQ(window.selection, 0);
  EXPECT_EQ(current_session_entry(list, window), 0);

  window.recording = true;
  window.events.clear();
  window.save_line("U\t0\t0\t0\ten\t\tone\t\n");
  window.save_line("U\t0\t0\t0\ten\t\ttwo\t\n");
  EXPECT_EQ(window.items[0], u"\u25CF 2024-07-01   08:00:00   (2)");
  EXPECT_EQ(window.events, (std::vector<std::string>{"replace 0", "replace 0"}));
  EXPECT_EQ(list.entries[0].line_count, 2);

  window.recording = false;
  refresh_history_list(list, window, current_session_entry(list, window));
  EXPECT_EQ(window.items[0], u"2024-07-01   08:00:00   (2)");
  EXPECT_EQ(window.selection, 0);
}

TEST_F(HistoryOperations, TwoNewSessionsWithoutSpeakingLeaveOnlyTheSecond) {
  window.new_session(u"C:\\p\\history\\a.txt", u"2024-07-01_08-00-00");
  window.new_session(u"C:\\p\\history\\b.txt", u"2024-07-01_08-00-05");
  ASSERT_EQ(list.entries.size(), 4u);
  EXPECT_EQ(list.entries[0].path, u"C:\\p\\history\\b.txt");
  EXPECT_EQ(find_history_entry(list, u"C:\\p\\history\\a.txt"), -1);
  EXPECT_EQ(window.selection, 0);
}

TEST_F(HistoryOperations, NotificationsForUnlistedPathsChangeNothing) {
  history_line_saved(list, window, u"C:\\elsewhere.txt");
  EXPECT_TRUE(window.events.empty());
  history_session_removed(list, window, u"C:\\elsewhere.txt");
  EXPECT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(current_session_entry(list, window), -1);
  // Path comparison is exact: another case is another file name here.
  EXPECT_EQ(find_history_entry(list, u"C:\\P\\history\\notes.txt"), -1);
}

TEST_F(HistoryOperations, RefreshSelectsOnlyIndexesOfTheList) {
  refresh_history_list(list, window, 3);
  EXPECT_EQ(window.selection, -1);
  refresh_history_list(list, window, 2);
  EXPECT_EQ(window.selection, 2);
}

}  // namespace
}  // namespace colloquor
