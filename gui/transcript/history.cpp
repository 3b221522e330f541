#include "transcript/history.h"

#include <algorithm>

namespace colloquor {

HistoryList history_list;

namespace {

constexpr std::size_t kDateLength = 10;
constexpr std::size_t kTimeStart = 11;
constexpr std::size_t kTimeLength = 8;

std::u16string decimal(std::int32_t value) {
  std::u16string text;
  for (char digit : std::to_string(value)) text += static_cast<char16_t>(digit);
  return text;
}

bool valid_index(const HistoryList& list, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < list.entries.size();
}

bool is_recording(HistoryView& view, const HistoryEntry& entry) {
  return view.capture_running() && entry.path == view.current_session_path();
}

std::vector<std::u16string> list_items(const HistoryList& list, HistoryView& view) {
  std::vector<std::u16string> items;
  items.reserve(list.entries.size());
  for (const HistoryEntry& entry : list.entries) {
    items.push_back(history_label(entry, is_recording(view, entry)));
  }
  return items;
}

void remove_entry(HistoryList& list, std::u16string_view path) {
  const int index = find_history_entry(list, path);
  if (index >= 0) list.entries.erase(list.entries.begin() + index);
}

}  // namespace

std::u16string history_label(const HistoryEntry& entry, bool recording) {
  const std::u16string& label = entry.label;
  std::u16string time;
  if (label.size() >= kTimeStart + kTimeLength) {
    time = label.substr(kTimeStart, kTimeLength);
    std::replace(time.begin(), time.end(), u'-', u':');
  }
  std::u16string text;
  if (recording) text += kRecordingMark;
  text += label.substr(0, kDateLength);
  text += u"   ";
  text += time;
  text += u"   (";
  text += decimal(entry.line_count);
  text += u')';
  return text;
}

std::u16string file_stem(std::u16string_view path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  return std::u16string(name);
}

HistoryEntry history_entry_of(std::u16string path, const SessionContents& contents) {
  HistoryEntry entry;
  entry.label = contents.stamp.empty() ? file_stem(path) : contents.stamp;
  entry.path = std::move(path);
  entry.line_count = static_cast<std::int32_t>(contents.lines.size());
  return entry;
}

void sort_history(std::vector<HistoryEntry>& entries) {
  // std::u16string compares code unit by code unit, and a prefix is less than its extension.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const HistoryEntry& a, const HistoryEntry& b) { return a.label > b.label; });
}

int find_history_entry(const HistoryList& list, std::u16string_view path) {
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    if (list.entries[i].path == path) return static_cast<int>(i);
  }
  return -1;
}

void load_history(HistoryList& list, HistoryView& view, const std::vector<std::u16string>& paths) {
  list.entries.clear();
  for (const std::u16string& path : paths) {
    list.entries.push_back(history_entry_of(path, view.read_session_file(path)));
  }
  sort_history(list.entries);
  refresh_history_list(list, view, -1);
}

void refresh_history_list(const HistoryList& list, HistoryView& view, int selection) {
  view.fill_list(list_items(list, view), valid_index(list, selection) ? selection : -1);
}

int current_session_entry(const HistoryList& list, HistoryView& view) {
  const std::u16string path = view.current_session_path();
  return path.empty() ? -1 : find_history_entry(list, path);
}

void open_history_entry(HistoryList& list, HistoryView& view, int index) {
  if (!valid_index(list, index) || view.capture_running()) return;
  const std::u16string path = list.entries[static_cast<std::size_t>(index)].path;
  if (view.session_open() && path == view.current_session_path()) return;

  view.clear_transcript();
  list.viewed_path = path;
  // An empty current session vanishes here with its entry, so indexes may shift below.
  view.close_session_file();
  const SessionContents contents = view.read_session_file(path);
  view.show_saved_lines(contents.lines);
  view.clear_session_open();
  // The window's control update selects the current session's entry, which no longer exists, so
  // it comes before the viewed entry is selected: that selection is the one the user sees.
  view.update_controls();
  refresh_history_list(list, view, find_history_entry(list, path));
  view.set_status(kViewingStatus);
}

void delete_history_entry(HistoryList& list, HistoryView& view, int index) {
  if (!valid_index(list, index)) return;
  if (!view.confirm_delete()) return;
  const std::u16string path = list.entries[static_cast<std::size_t>(index)].path;
  if (path == view.current_session_path()) {
    view.close_session_file();
    view.clear_session_open();
    view.update_controls();
  }
  view.delete_file(path);
  remove_entry(list, path);
  refresh_history_list(list, view, -1);
}

void history_session_created(HistoryList& list, HistoryView& view, const std::u16string& path,
                             const std::u16string& stamp) {
  list.viewed_path.clear();
  list.entries.insert(list.entries.begin(), HistoryEntry{path, stamp, 0});
  refresh_history_list(list, view, 0);
}

void history_line_saved(HistoryList& list, HistoryView& view, const std::u16string& path) {
  const int index = find_history_entry(list, path);
  if (index < 0) return;
  HistoryEntry& entry = list.entries[static_cast<std::size_t>(index)];
  ++entry.line_count;
  view.replace_item(index, history_label(entry, is_recording(view, entry)));
}

void history_session_removed(HistoryList& list, HistoryView& view, const std::u16string& path) {
  remove_entry(list, path);
  const int current = current_session_entry(list, view);
  refresh_history_list(list, view,
                       current >= 0 ? current : find_history_entry(list, list.viewed_path));
}

}  // namespace colloquor
