// Child processes for Parlivo's worker bootstrap and for the installer: one way to start a process
// (explicit standard handles, an own environment, optionally inside a job) and one way to wait for
// it with a time limit and read its exit code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "shared/unique_handle_win32.h"

namespace colloquor {

inline constexpr std::uint32_t kWaitForever = INFINITE;
// How long a process stopped at its time limit is given to be gone, so that the next step does not
// meet its files still in use.
inline constexpr std::uint32_t kTerminationWaitMs = 5000;

struct StandardHandles {
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  HANDLE error = nullptr;
};

struct ProcessStart {
  // The whole command line; its first token is found by the system's executable search.
  std::u16string command_line;
  std::u16string working_dir;  // empty: this process's own
  // A UTF-16 environment block (entries ending in NUL, one more NUL at the end); none: this
  // process's own environment.
  std::optional<std::u16string> environment;
  bool inherit_handles = false;
  bool hidden = false;  // no console window
  // Given to the child explicitly; none: the system's defaults.
  std::optional<StandardHandles> standard_handles;
  // When set, the process is created suspended, put into this job and only then resumed, so that
  // nothing it starts can escape the job.
  HANDLE job = nullptr;
};

struct StartedProcess {
  UniqueHandle process;
  UniqueHandle thread;
  std::uint32_t id = 0;
  // Not started: the Win32 error of the step that failed (creation, or resuming it).
  std::uint32_t error = 0;
  // Started, but outside the job it was meant for: the error of AssignProcessToJobObject.
  std::uint32_t job_error = 0;

  bool started() const { return process.valid(); }
};

StartedProcess start_process(const ProcessStart& start);

struct ProcessWait {
  std::uint32_t limit_ms = kWaitForever;  // then the process is terminated with exit code 1
  // The wait is cut into slices of this length; after each one that did not see the end,
  // on_slice hears the milliseconds elapsed since the wait began.
  std::uint32_t slice_ms = kWaitForever;
  std::function<void(std::uint64_t elapsed_ms)> on_slice;
};

struct ProcessEnd {
  // Stopped at the limit (or not waited for, because the wait itself failed): terminated.
  bool timed_out = false;
  // The process's exit code; 1 when it could not be read, so that an unknown result never passes
  // for success. 1 too after a time-out.
  std::int32_t exit_code = 1;
};

ProcessEnd wait_for_process(const StartedProcess& process, const ProcessWait& wait);

}  // namespace colloquor
