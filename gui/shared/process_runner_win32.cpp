#include "shared/process_runner_win32.h"

#include <algorithm>

#include "shared/win32_text.h"

namespace colloquor {
namespace {

DWORD creation_flags(const ProcessStart& start) {
  DWORD flags = 0;
  if (start.hidden) flags |= CREATE_NO_WINDOW;
  if (start.environment) flags |= CREATE_UNICODE_ENVIRONMENT;
  if (start.job != nullptr) flags |= CREATE_SUSPENDED;
  return flags;
}

// A process at its time limit, or one that could not be waited for, is ended. When even that
// fails there is nothing better to do: the caller counts the run as failed either way.
void terminate(HANDLE process) {
  if (TerminateProcess(process, 1)) WaitForSingleObject(process, kTerminationWaitMs);
}

ProcessEnd ended(HANDLE process) {
  ProcessEnd end;
  DWORD code = 0;
  if (GetExitCodeProcess(process, &code)) end.exit_code = static_cast<std::int32_t>(code);
  return end;
}

}  // namespace

StartedProcess start_process(const ProcessStart& start) {
  StartedProcess started;
  std::u16string command = start.command_line;  // CreateProcessW may write into its command line
  std::u16string environment = start.environment.value_or(std::u16string());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (start.standard_handles) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = start.standard_handles->input;
    startup.hStdOutput = start.standard_handles->output;
    startup.hStdError = start.standard_handles->error;
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(command.data()), nullptr, nullptr,
                      start.inherit_handles ? TRUE : FALSE, creation_flags(start),
                      start.environment ? environment.data() : nullptr,
                      start.working_dir.empty() ? nullptr : wide(start.working_dir), &startup,
                      &info)) {
    started.error = GetLastError();
    return started;
  }
  started.process.reset(info.hProcess);
  started.thread.reset(info.hThread);
  started.id = info.dwProcessId;
  if (start.job == nullptr) return started;

  // Outside its job the process still does its work; the caller decides what that costs.
  if (!AssignProcessToJobObject(start.job, info.hProcess)) started.job_error = GetLastError();
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    // A process that stays suspended would never do anything nor end: it is ended here.
    started.error = GetLastError();
    terminate(info.hProcess);
    started.process.reset();
    started.thread.reset();
    started.id = 0;
  }
  return started;
}

ProcessEnd wait_for_process(const StartedProcess& process, const ProcessWait& wait) {
  const HANDLE handle = process.process.get();
  const bool limited = wait.limit_ms != kWaitForever;
  const ULONGLONG began = GetTickCount64();
  std::uint64_t elapsed = 0;
  for (;;) {
    DWORD slice = wait.slice_ms;
    if (limited)
      slice = static_cast<DWORD>(std::min<std::uint64_t>(slice, wait.limit_ms - elapsed));
    const DWORD waited = WaitForSingleObject(handle, slice);
    if (waited == WAIT_OBJECT_0) return ended(handle);
    if (waited != WAIT_TIMEOUT) break;  // the end could never be seen
    elapsed = GetTickCount64() - began;
    if (limited && elapsed >= wait.limit_ms) break;
    if (wait.on_slice) wait.on_slice(elapsed);
  }
  terminate(handle);
  ProcessEnd end;
  end.timed_out = true;
  return end;
}

}  // namespace colloquor
