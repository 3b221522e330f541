// The crash handlers in real failing processes: a copy of crash_probe.exe runs from a fresh folder,
// fails in the way it is told, and crash.log next to it must hold one line per run, oldest first.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/crash_log.h"
#include "shared/program_dir_win32.h"

namespace colloquor {
namespace {

std::wstring make_scratch_folder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"crash-probe-" +
                        std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount64());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

class CrashLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = make_scratch_folder();
    probe_ = folder_ + L"\\crash_probe.exe";
    ASSERT_TRUE(CopyFileW((program_dir() + L"\\crash_probe.exe").c_str(), probe_.c_str(), FALSE))
        << "crash_probe.exe must be built next to this test";
  }
  void TearDown() override {
    DeleteFileW(probe_.c_str());
    DeleteFileW(log_path().c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring log_path() const { return folder_ + L"\\crash.log"; }

  // Runs the probe and returns its exit code; fails the test when it hangs (a dialog, a loop).
  DWORD run_probe(const wchar_t* how) {
    std::wstring command = L"\"" + probe_ + L"\" " + how;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(probe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &process)) {
      ADD_FAILURE() << "could not start the probe";
      return 0xFFFFFFFF;
    }
    DWORD waited = WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0xFFFFFFFF;
    if (waited != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 99);
      ADD_FAILURE() << "the probe did not end by itself";
    } else {
      GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
  }

  std::string log_bytes() const {
    std::ifstream in(log_path().c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    const std::string bytes = log_bytes();
    std::size_t start = 0;
    while (start < bytes.size()) {
      std::size_t end = bytes.find("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back("UNTERMINATED:" + bytes.substr(start));
        break;
      }
      lines.push_back(bytes.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  std::wstring folder_;
  std::wstring probe_;
};

const std::regex kStamp(R"(^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d  )");

TEST_F(CrashLogTest, TwoRunsLeaveTwoLinesOldestFirst) {
  const DWORD first = run_probe(L"throw");
  const DWORD second = run_probe(L"access");
  EXPECT_EQ(first, 3u);  // abort()
  EXPECT_EQ(second, 0xC0000005u);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 2u) << log_bytes();
  EXPECT_TRUE(std::regex_search(lines[0], kStamp)) << lines[0];
  EXPECT_EQ(lines[0].substr(21), "std::terminate: probe failure");
  EXPECT_TRUE(std::regex_search(lines[1], kStamp)) << lines[1];
  EXPECT_EQ(lines[1].substr(21, 34), "unhandled exception 0xC0000005 at ") << lines[1];
  EXPECT_GT(lines[1].size(), 21u + 34u);  // the address follows
}

TEST_F(CrashLogTest, NonStandardExceptionGivesThePlainLine) {
  run_probe(L"other");
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 1u) << log_bytes();
  EXPECT_EQ(lines[0].substr(21), "std::terminate");
}

TEST_F(CrashLogTest, RunningThreadObjectDestroyedWritesOnceAndAborts) {
  EXPECT_EQ(run_probe(L"thread"), 3u);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 1u) << log_bytes();
  EXPECT_TRUE(std::regex_search(lines[0], kStamp)) << lines[0];
  EXPECT_EQ(lines[0].substr(21), "std::terminate");
}

TEST_F(CrashLogTest, FailuresOnOtherThreadsAreLoggedToo) {
  EXPECT_EQ(run_probe(L"worker-access"), 0xC0000005u);
  EXPECT_EQ(run_probe(L"worker-throw"), 3u);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 2u) << log_bytes();
  EXPECT_EQ(lines[0].substr(21, 34), "unhandled exception 0xC0000005 at ");
  EXPECT_EQ(lines[1].substr(21), "std::terminate: worker failure");
}

TEST_F(CrashLogTest, WindowThatCannotBeCreatedEndsTheProgramWithALine) {
  EXPECT_EQ(run_probe(L"no-window"), 1u);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("the main window could not be created"), std::string::npos) << lines[0];
}

TEST_F(CrashLogTest, ExistingLinesAreKept) {
  {
    std::ofstream seed(log_path().c_str(), std::ios::binary);
    seed << "older line\r\n";
  }
  run_probe(L"other");
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 2u) << log_bytes();
  EXPECT_EQ(lines[0], "older line");
  EXPECT_EQ(lines[1].substr(21), "std::terminate");
}

TEST_F(CrashLogTest, UnwritableLogIsSilentlySkipped) {
  // A folder where the file should be: opening fails, the process still ends normally.
  ASSERT_TRUE(CreateDirectoryW(log_path().c_str(), nullptr));
  EXPECT_EQ(run_probe(L"other"), 3u);
  RemoveDirectoryW(log_path().c_str());
}

TEST(ProgramDir, IsTheExecutablesFolderWithoutSeparator) {
  wchar_t module[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring full(module, length);
  const std::wstring folder = program_dir();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), L'\\');
  EXPECT_NE(folder.back(), L'/');
  EXPECT_EQ(full.substr(0, folder.size()), folder);
  EXPECT_EQ(full.substr(folder.size() + 1).find_first_of(L"\\/"), std::wstring::npos);
  EXPECT_EQ(GetFileAttributesW((folder + L"\\" + full.substr(folder.size() + 1)).c_str()) ==
                INVALID_FILE_ATTRIBUTES,
            false);
}

TEST(LocalTimestamp, MatchesTheLocalClock) {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  const std::wstring stamp = local_timestamp();
  ASSERT_EQ(stamp.size(), 19u);
  EXPECT_EQ(std::stoi(stamp.substr(0, 4)), now.wYear);
  EXPECT_EQ(stamp[4], L'-');
  EXPECT_EQ(stamp[10], L'_');
  EXPECT_EQ(stamp[13], L'-');
}

}  // namespace
}  // namespace colloquor
