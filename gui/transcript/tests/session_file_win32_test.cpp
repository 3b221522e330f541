// Session files on a real file system (under Wine): rows flushed one by one while the file stays
// open, the file shared for reading, empty sessions deleted, existing sessions never overwritten.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/win32_text.h"
#include "shared/program_dir_win32.h"
#include "transcript/session_file.h"

namespace colloquor {
namespace {

std::u16string u16(const std::wstring& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

bool exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

// The bytes on disk, read by a second handle as another program would while the session runs.
std::string disk_bytes(const std::u16string& path) {
  HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

TranscriptLine line_of(std::u16string text, std::u16string translation) {
  TranscriptLine line;
  line.channel = 0;
  line.speaker = 1;
  line.text = std::move(text);
  line.translation = std::move(translation);
  line.language = "en";
  line.translation_language = "ru";
  return line;
}

struct HookLog {
  std::vector<std::u16string> events;
};
HookLog* g_log = nullptr;

class SessionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = u16(temp) + u"colloquor-session-" + u16(std::to_wstring(GetCurrentProcessId())) + u"-" +
            u16(std::to_wstring(GetTickCount64()));
    CreateDirectoryW(wide(root_), nullptr);
    folder_ = root_ + u"\\history";
    g_log = &log_;
    SessionHistoryHooks hooks;
    hooks.created = [](const std::u16string& path, const std::u16string& stamp) {
      g_log->events.push_back(u"created " + path + u" " + stamp);
    };
    hooks.line_saved = [](const std::u16string& path) { g_log->events.push_back(u"line " + path); };
    hooks.removed = [](const std::u16string& path) { g_log->events.push_back(u"removed " + path); };
    set_session_history_hooks(hooks);
  }

  void TearDown() override {
    close_session_file();
    set_session_history_hooks({});
    g_log = nullptr;
    WIN32_FIND_DATAW found;
    const std::u16string pattern = folder_ + u"\\*";
    HANDLE search = FindFirstFileW(wide(pattern), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW(wide(folder_ + u"\\" + u16(found.cFileName)));
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(wide(folder_));
    RemoveDirectoryW(wide(root_));
  }

  std::u16string root_;
  std::u16string folder_;
  HookLog log_;
};

TEST_F(SessionFileTest, CreatesTheFolderAndAFileWithTheHeader) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  const std::u16string path = folder_ + u"\\2024-05-01_14-03-22.txt";
  EXPECT_TRUE(session_file_open());
  EXPECT_EQ(current_session_path(), path);
  EXPECT_EQ(disk_bytes(path), "#V1\t2024-05-01_14-03-22\n");
  ASSERT_EQ(log_.events.size(), 1u);
  EXPECT_EQ(log_.events[0], u"created " + path + u" 2024-05-01_14-03-22");
}

TEST_F(SessionFileTest, EveryRowIsOnDiskBeforeTheNextArrives) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  const std::u16string path = current_session_path();
  std::string expected = "#V1\t2024-05-01_14-03-22\n";

  const std::vector<TranscriptLine> lines = {
      line_of(u"First line", u"Первая строка"),
      line_of(u"tab\there, break\nthere\r\n", u""),
      line_of(u"Ünïcödé \U0001F600", u"第三"),
  };
  for (const TranscriptLine& line : lines) {
    append_session_line(line);
    expected += session_row_line(line);
    // Read through another handle while this one still holds the file open for writing.
    EXPECT_EQ(disk_bytes(path), expected);
  }
  EXPECT_EQ(current_session_line_count(), 3);

  const SessionContents contents = read_session_file(path);
  EXPECT_EQ(contents.stamp, u"2024-05-01_14-03-22");
  ASSERT_EQ(contents.lines.size(), 3u);
  EXPECT_EQ(contents.lines[0].translation, u"Первая строка");
  EXPECT_EQ(contents.lines[1].text, u"tab here, break there  ");
  EXPECT_EQ(contents.lines[2].text, u"Ünïcödé \U0001F600");
  EXPECT_EQ(contents.lines[2].translation, u"第三");

  close_session_file();
  EXPECT_FALSE(session_file_open());
  EXPECT_TRUE(current_session_path().empty());
  EXPECT_TRUE(exists(path));  // a session with lines stays
  EXPECT_EQ(disk_bytes(path), expected);
}

TEST_F(SessionFileTest, AnotherProgramCannotWriteWhileTheSessionIsOpen) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  HANDLE writer =
      CreateFileW(wide(current_session_path()), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

TEST_F(SessionFileTest, AnEmptySessionIsDeletedWhenClosed) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  const std::u16string path = current_session_path();
  close_session_file();
  EXPECT_FALSE(exists(path));
  ASSERT_EQ(log_.events.size(), 2u);
  EXPECT_EQ(log_.events[1], u"removed " + path);
}

TEST_F(SessionFileTest, NewSessionTwiceWithoutSpeakingLeavesOnlyTheSecond) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  const std::u16string first = current_session_path();
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-40"));
  const std::u16string second = current_session_path();
  EXPECT_FALSE(exists(first));
  EXPECT_TRUE(exists(second));
  ASSERT_EQ(log_.events.size(), 3u);
  EXPECT_EQ(log_.events[1], u"removed " + first);
  EXPECT_EQ(log_.events[2], u"created " + second + u" 2024-05-01_14-03-40");
}

TEST_F(SessionFileTest, ASessionWithLinesIsNeverOverwrittenByOneWithTheSameStamp) {
  // Two sessions in the same second, or the clock set back an hour: the stamp repeats.
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-10-27_02-30-00"));
  const std::u16string first = current_session_path();
  append_session_line(line_of(u"keep me", u""));
  const std::string first_bytes = disk_bytes(first);

  ASSERT_TRUE(create_session_file_in(folder_, u"2024-10-27_02-30-00"));
  const std::u16string second = current_session_path();
  EXPECT_EQ(second, folder_ + u"\\2024-10-27_02-30-00_2.txt");
  EXPECT_EQ(disk_bytes(first), first_bytes);
  EXPECT_EQ(disk_bytes(second), "#V1\t2024-10-27_02-30-00\n");

  // An empty repeat reuses the name after its own deletion.
  close_session_file();
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-10-27_02-30-00"));
  EXPECT_EQ(current_session_path(), second);
}

TEST_F(SessionFileTest, AppendWithoutASessionDoesNothing) {
  append_session_line(line_of(u"nowhere", u""));
  EXPECT_FALSE(session_file_open());
  EXPECT_EQ(current_session_line_count(), 0);
  EXPECT_TRUE(log_.events.empty());
  close_session_file();  // harmless too
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(SessionFileTest, AFolderThatCannotBeCreatedLeavesNoSession) {
  // A plain file where the history folder should be.
  HANDLE blocker = CreateFileW(wide(folder_), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  CloseHandle(blocker);
  EXPECT_FALSE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  EXPECT_FALSE(session_file_open());
  EXPECT_TRUE(current_session_path().empty());
  EXPECT_TRUE(log_.events.empty());
  DeleteFileW(wide(folder_));
}

TEST_F(SessionFileTest, ClosingAfterAFailedCreateKeepsThePreviousSessionsFile) {
  ASSERT_TRUE(create_session_file_in(folder_, u"2024-05-01_14-03-22"));
  append_session_line(line_of(u"saved", u""));
  const std::u16string first = current_session_path();
  EXPECT_FALSE(create_session_file_in(root_ + u"\\no\\such\\place", u"2024-05-01_14-03-23"));
  EXPECT_TRUE(exists(first));
  EXPECT_FALSE(session_file_open());
}

TEST_F(SessionFileTest, TheProgramsOwnHistoryFolderIsNextToTheExecutable) {
  ASSERT_TRUE(create_session_file());
  const std::u16string path = current_session_path();
  EXPECT_EQ(history_folder(), u16(program_dir()) + u"\\history");
  const std::u16string folder = history_folder() + u"\\";
  EXPECT_EQ(path.substr(0, folder.size()), folder);
  const std::u16string name = path.substr(folder.size());
  // "yyyy-mm-dd_hh-mm-ss.txt"
  ASSERT_EQ(name.size(), 23u);
  EXPECT_EQ(name.substr(19), u".txt");
  EXPECT_EQ(name[4], u'-');
  EXPECT_EQ(name[10], u'_');
  EXPECT_EQ(disk_bytes(path), "#V1\t" + std::string(name.begin(), name.begin() + 19) + "\n");
  close_session_file();
  EXPECT_FALSE(exists(path));
  RemoveDirectoryW(wide(u16(program_dir()) + u"\\history"));
}

TEST_F(SessionFileTest, UnreadableFilesReadAsEmpty) {
  const SessionContents contents = read_session_file(root_ + u"\\missing.txt");
  EXPECT_TRUE(contents.stamp.empty());
  EXPECT_TRUE(contents.lines.empty());
}

}  // namespace
}  // namespace colloquor
