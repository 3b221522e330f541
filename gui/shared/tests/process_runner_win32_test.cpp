// The handle owner and the process runner under Wine. The child is this program started again
// with a flag, looked at before GoogleTest's main, so the child never runs the tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "shared/process_runner_win32.h"

namespace colloquor {
namespace {

constexpr wchar_t kChildFlag[] = L"--runner-child";

// --runner-child exit N | sleep MS | echo (one read of the input, written to output and error).
struct Child {
  Child() {
    const wchar_t* flag = std::wcsstr(GetCommandLineW(), kChildFlag);
    if (flag == nullptr) return;
    wchar_t action_text[16] = {};
    unsigned value = 0;
    std::swscanf(flag + std::wcslen(kChildFlag), L" %15ls %u", action_text, &value);
    const std::wstring action = action_text;
    if (action == L"exit") ExitProcess(value);
    if (action == L"sleep") Sleep(value);
    if (action == L"echo") {
      char text[64];
      DWORD got = 0;
      ReadFile(GetStdHandle(STD_INPUT_HANDLE), text, sizeof text, &got, nullptr);
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, got, &written, nullptr);
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), "err", 3, &written, nullptr);
    }
    ExitProcess(0);
  }
} g_child;

ProcessStart child(const std::wstring& arguments) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring line = L"\"" + std::wstring(self) + L"\" " + kChildFlag + L" " + arguments;
  ProcessStart start;
  start.command_line = std::u16string(line.begin(), line.end());
  start.hidden = true;
  return start;
}

bool is_open(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

UniqueHandle kill_on_close_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  EXPECT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
  return job;
}

TEST(UniqueHandleTest, ClosesOnScopeExitAndOnlyItsOwnerCloses) {
  HANDLE raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  {
    UniqueHandle first(raw);
    UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    first = std::move(second);  // back again: still open
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw));

  raw = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  { UniqueHandle given_away(raw); EXPECT_EQ(given_away.release(), raw); }
  EXPECT_TRUE(is_open(raw));
  UniqueHandle owner(raw);
  owner.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EXPECT_FALSE(is_open(raw));
  EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));  // what CreateFileW fails with is no handle
}

TEST(ProcessRunnerTest, StartsWaitsAndReadsTheExitCode) {
  const StartedProcess process = start_process(child(L"exit 7"));
  ASSERT_TRUE(process.started());
  EXPECT_NE(process.id, 0u);
  const ProcessEnd end = wait_for_process(process, ProcessWait{});
  EXPECT_FALSE(end.timed_out);
  EXPECT_EQ(end.exit_code, 7);

  ProcessStart missing;
  missing.command_line = u"\"C:\\no\\such\\program.exe\" x";
  const StartedProcess none = start_process(missing);
  EXPECT_FALSE(none.started());
  EXPECT_NE(none.error, 0u);
}

TEST(ProcessRunnerTest, TheChildGetsExactlyTheStandardHandlesGiven) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  UniqueHandle in_read, in_write, out_read, out_write, err_read, err_write;
  ASSERT_TRUE(CreatePipe(in_read.receive(), in_write.receive(), &inheritable, 0));
  ASSERT_TRUE(CreatePipe(out_read.receive(), out_write.receive(), &inheritable, 0));
  ASSERT_TRUE(CreatePipe(err_read.receive(), err_write.receive(), &inheritable, 0));
  ProcessStart start = child(L"echo");
  start.inherit_handles = true;
  start.standard_handles = StandardHandles{in_read.get(), out_write.get(), err_write.get()};
  const StartedProcess process = start_process(start);
  ASSERT_TRUE(process.started());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(in_write.get(), "hello", 5, &written, nullptr));
  EXPECT_EQ(wait_for_process(process, ProcessWait{}).exit_code, 0);
  char text[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(out_read.get(), text, sizeof text, &got, nullptr));
  EXPECT_EQ(std::string(text, got), "hello");
  ASSERT_TRUE(ReadFile(err_read.get(), text, sizeof text, &got, nullptr));
  EXPECT_EQ(std::string(text, got), "err");
}

TEST(ProcessRunnerTest, AProcessAtItsLimitIsEndedAndEachSliceIsReported) {
  const StartedProcess process = start_process(child(L"sleep 600000"));
  ASSERT_TRUE(process.started());
  std::vector<std::uint64_t> slices;
  ProcessWait wait;
  wait.limit_ms = 1500;
  wait.slice_ms = 500;
  wait.on_slice = [&](std::uint64_t elapsed) { slices.push_back(elapsed); };
  const ProcessEnd end = wait_for_process(process, wait);
  EXPECT_TRUE(end.timed_out);
  EXPECT_EQ(end.exit_code, 1);
  EXPECT_EQ(WaitForSingleObject(process.process.get(), 0), WAIT_OBJECT_0);  // gone already
  ASSERT_EQ(slices.size(), 2u);  // at 500 and 1000 ms; the limit itself is no slice
  EXPECT_GE(slices[0], 450u);
  EXPECT_GT(slices[1], slices[0]);
  EXPECT_LT(slices[1], 1500u);
}

TEST(ProcessRunnerTest, AJobHasTheProcessBeforeItRuns) {
  UniqueHandle job = kill_on_close_job();
  ProcessStart start = child(L"sleep 600000");
  start.job = job.get();
  const StartedProcess process = start_process(start);
  ASSERT_TRUE(process.started());
  EXPECT_EQ(process.job_error, 0u);
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(process.process.get(), job.get(), &in_job));
  EXPECT_TRUE(in_job);
  job.reset();
  EXPECT_EQ(WaitForSingleObject(process.process.get(), 10000), WAIT_OBJECT_0);
}

TEST(ProcessRunnerTest, AProcessThatCannotJoinItsJobRunsAndSaysWhy) {
  UniqueHandle job = kill_on_close_job();
  HANDLE query_only = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.get(), GetCurrentProcess(), &query_only,
                              JOB_OBJECT_QUERY, FALSE, 0));
  const UniqueHandle limited(query_only);
  ProcessStart start = child(L"exit 3");
  start.job = limited.get();
  const StartedProcess process = start_process(start);
  ASSERT_TRUE(process.started());
  EXPECT_EQ(process.job_error, DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(wait_for_process(process, ProcessWait{}).exit_code, 3);  // resumed all the same
}

}  // namespace
}  // namespace colloquor
