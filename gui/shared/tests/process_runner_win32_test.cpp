// The handle owner and what the process runner adds to what the worker bootstrap's tests show of
// it (exit codes, standard handles, the kill-on-close job): the slices of a limited wait and a job
// that cannot be joined. The child is this program started again with a flag, looked at before
// GoogleTest's main, so the child never runs the tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "shared/process_runner_win32.h"

namespace colloquor {
namespace {

constexpr wchar_t kChildFlag[] = L"--runner-child";

// --runner-child exit N | sleep MS
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
  {
    UniqueHandle given_away(raw);
    EXPECT_EQ(given_away.release(), raw);
  }
  EXPECT_TRUE(is_open(raw));
  UniqueHandle owner(raw);
  owner.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EXPECT_FALSE(is_open(raw));
  EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));  // what CreateFileW fails with is no handle
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

TEST(ProcessRunnerTest, AProcessThatCannotJoinItsJobRunsAndSaysWhy) {
  const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
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
