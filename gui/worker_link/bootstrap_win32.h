// The worker bootstrap thread: finds or provisions Python, starts worker.py hidden inside a job
// object with its pipes and log file, and hands the pipe ends to the frame writer and the reader.
// Everything it has to say reaches the window as "S" and "E" WorkerLine records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/unique_handle_win32.h"
#include "worker_link/bootstrap.h"

namespace colloquor {

// What the bootstrap needs from the window, handed over by the window thread before it starts the
// thread (the settings are loaded by then, so the saved model ids are known).
struct BootstrapInputs {
  HWND window = nullptr;             // target of the "S" / "E" records and of the reader
  std::u16string program_folder;     // program_dir ()
  std::u16string speaker_model;      // saved "spkmodel"
  std::u16string translation_model;  // saved "trmodel"
  // Problems the window met while it was made. Shown once the worker has started, when no earlier
  // status can replace them at once.
  std::vector<std::u16string> notices;
};
void set_bootstrap_inputs(BootstrapInputs inputs);

// The thread body: runs once per program run with the inputs set above.
void bootstrap_worker();

// Closing the job ends the worker and every process it started. Called by the window when it is
// destroyed; safe to call when no worker was started, and more than once.
void close_worker_job();
// The job and the worker's process information, while they exist (empty otherwise).
HANDLE worker_job();
PROCESS_INFORMATION worker_process_information();

// Receives the bootstrap's records: kind "S" or "E" and the text.
using RecordSink = std::function<void(char kind, const std::u16string& text)>;

// Runs a command line hidden and waits at most limit_ms: the exit code, kRunNotStarted when it
// could not be started, kRunTimedOut when it was stopped at the limit. With a label, a sign of life
// goes to `sink` about every 5 s.
std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label, const RecordSink& sink);
// The same, with the signs of life posted to the bootstrap's window.
std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label = {});

// The first candidate interpreter that passes the version test, or empty.
std::u16string find_worker_python(std::uint32_t version_test_limit_ms = kVersionTestLimitMs);

// A job that ends every process in it when its last handle is closed, or, when it could not be
// made, the Win32 error of the step that failed.
struct WorkerJob {
  UniqueHandle handle;
  std::uint32_t error = 0;
};
WorkerJob create_kill_on_close_job();

// What Parlivo keeps of a started worker, owned until it is handed over.
struct LaunchedWorker {
  UniqueHandle input_write;  // frames go here
  UniqueHandle output_read;  // lines come from here
  UniqueHandle job;          // empty when the worker runs outside a job (job_error says why)
  UniqueHandle process;
  UniqueHandle thread;
  std::uint32_t process_id = 0;
  // Not 0: the worker runs, but outside a kill-on-close job, so it could outlive Parlivo; the
  // Win32 error of the step that failed.
  std::uint32_t job_error = 0;
};

struct LaunchPlan {
  std::u16string command_line;
  std::u16string data_root;  // working directory and DICTATION_ROOT
  std::u16string log_file;
  std::u16string speaker_model;
  std::u16string translation_model;
  // Makes the job the worker runs in; empty: create_kill_on_close_job.
  std::function<WorkerJob()> make_job;
};

// Creates the pipes and the log file, starts the worker suspended with the worker's environment,
// puts it into a kill-on-close job and resumes it. False (with nothing left open) when a pipe or
// the process could not be made, or the process could not be made to run. A worker that could not
// be put into its job still runs, with launched.job_error set.
bool launch_worker(const LaunchPlan& plan, LaunchedWorker& launched);

// The seams of one bootstrap run; bootstrap_worker uses the window and the real hand-over.
struct BootstrapLimits {
  std::uint32_t version_test_ms = kVersionTestLimitMs;
  std::uint32_t winget_ms = kWingetLimitMs;
  std::uint32_t environment_ms = kEnvironmentLimitMs;
};
struct BootstrapHooks {
  RecordSink post;
  // Takes ownership of the started worker's handles.
  std::function<void(LaunchedWorker&)> hand_over;
  BootstrapLimits limits;
  // Makes the worker's job; empty: create_kill_on_close_job.
  std::function<WorkerJob()> make_job;
};
void run_bootstrap(const BootstrapInputs& inputs, const BootstrapHooks& hooks);

// The production hand-over: frame writer, reader thread, process-wide job and process.
void hand_over_worker(HWND window, LaunchedWorker& launched);

}  // namespace colloquor
