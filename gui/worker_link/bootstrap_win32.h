// The worker bootstrap thread: finds or provisions Python, starts worker.py hidden inside a job
// object with its pipes and log file, and hands the pipe ends to the frame writer and the reader.
// Everything it has to say reaches the window as "S" and "E" WorkerLine records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "worker_link/bootstrap.h"

namespace colloquor {

// What the bootstrap needs from the window, handed over by the window thread before it starts the
// thread (the settings are loaded by then, so the saved model ids are known).
struct BootstrapInputs {
  HWND window = nullptr;               // target of the "S" / "E" records and of the reader
  std::u16string program_folder;       // program_dir ()
  std::u16string speaker_model;        // saved "spkmodel"
  std::u16string translation_model;    // saved "trmodel"
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

// Runs a command line hidden and waits at most limit_ms: the exit code, kRunNotStarted when it could
// not be started, kRunTimedOut when it was stopped at the limit. With a label, a sign of life goes
// to `sink` about every 5 s.
std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label, const RecordSink& sink);
// The same, with the signs of life posted to the bootstrap's window.
std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label = {});

// The first candidate interpreter that passes the version test, or empty.
std::u16string find_worker_python(std::uint32_t version_test_limit_ms = kVersionTestLimitMs);

// The ends of a started worker that Parlivo keeps.
struct LaunchedWorker {
  HANDLE input_write = nullptr;  // frames go here
  HANDLE output_read = nullptr;  // lines come from here
  HANDLE job = nullptr;          // may be empty when no job could be made
  PROCESS_INFORMATION process{};
};

struct LaunchPlan {
  std::u16string command_line;
  std::u16string data_root;  // working directory and DICTATION_ROOT
  std::u16string log_file;
  std::u16string speaker_model;
  std::u16string translation_model;
};

// Creates the pipes and the log file, starts the worker suspended with the worker's environment,
// puts it into a kill-on-close job and resumes it. False (with nothing left open) when a pipe or
// the process could not be made.
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
};
void run_bootstrap(const BootstrapInputs& inputs, const BootstrapHooks& hooks);

// The production hand-over: frame writer, reader thread, process-wide job and process.
void hand_over_worker(HWND window, LaunchedWorker& launched);

}  // namespace colloquor
