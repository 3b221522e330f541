#include "worker_link/bootstrap_win32.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "shared/process_runner_win32.h"
#include "shared/program_dir_win32.h"
#include "shared/win32_text.h"
#include "worker_link/frame_writer.h"
#include "worker_link/reader_win32.h"
#include "worker_link/worker_line.h"

namespace colloquor {
namespace {

std::mutex g_inputs_lock;
BootstrapInputs g_inputs;

std::atomic<HANDLE> g_job{nullptr};
std::mutex g_process_lock;
PROCESS_INFORMATION g_process{};

BootstrapInputs current_inputs() {
  std::lock_guard<std::mutex> guard(g_inputs_lock);
  return g_inputs;
}

bool file_exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

void post_to_window(HWND window, char kind, const std::u16string& text) {
  // Without a window a post would land in this thread's own queue and never be freed.
  if (window == nullptr) return;
  auto* record = new WorkerLine;
  record->kind = kind;
  record->text = text;
  post_worker_line(window, record);
}

std::u16string read_paths_setting(const std::u16string& settings_file, const char16_t* key) {
  wchar_t buffer[kPathBufferChars] = {};
  DWORD length =
      GetPrivateProfileStringW(wide(std::u16string(kPathsSection)), wide(std::u16string(key)), L"",
                               buffer, kPathBufferChars, wide(settings_file));
  return from_wide(buffer, length);
}

// A variable that is unset, empty or longer than the buffer counts as absent: a cut-off folder
// would only send the search to a wrong place.
std::optional<std::u16string> read_environment(const wchar_t* name) {
  wchar_t buffer[kPathBufferChars] = {};
  DWORD length = GetEnvironmentVariableW(name, buffer, kPathBufferChars);
  if (length == 0 || length >= kPathBufferChars) return std::nullopt;
  return from_wide(buffer, length);
}

std::u16string worker_environment_block(const LaunchPlan& plan) {
  std::vector<std::u16string> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    std::size_t length = 0;
    while (block[length] != L'\0' || block[length + 1] != L'\0') ++length;
    entries = split_environment_block(reinterpret_cast<const char16_t*>(block), length + 1);
    FreeEnvironmentStringsW(block);
  }
  entries = apply_environment_changes(
      std::move(entries),
      worker_environment_changes(plan.data_root, plan.speaker_model, plan.translation_model));
  return join_environment_block(entries);
}

struct WorkerPipes {
  UniqueHandle input_read;
  UniqueHandle input_write;
  UniqueHandle output_read;
  UniqueHandle output_write;
};

// Parlivo's own ends must stay out of the worker: a worker holding the write end of its own output
// (or of its input) would keep that pipe from ever showing its end. So a failure to make them
// non-inheritable fails the pipes.
bool create_worker_pipes(WorkerPipes& pipes) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return CreatePipe(pipes.input_read.receive(), pipes.input_write.receive(), &inheritable, 0) &&
         CreatePipe(pipes.output_read.receive(), pipes.output_write.receive(), &inheritable, 0) &&
         SetHandleInformation(pipes.input_write.get(), HANDLE_FLAG_INHERIT, 0) &&
         SetHandleInformation(pipes.output_read.get(), HANDLE_FLAG_INHERIT, 0);
}

UniqueHandle create_log_file(const std::u16string& path) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return UniqueHandle(CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

void set_bootstrap_inputs(BootstrapInputs inputs) {
  std::lock_guard<std::mutex> guard(g_inputs_lock);
  g_inputs = std::move(inputs);
}

std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label, const RecordSink& sink) {
  ProcessStart start;
  start.command_line = std::u16string(command_line);
  start.hidden = true;
  const StartedProcess process = start_process(start);
  if (!process.started()) return kRunNotStarted;
  ProcessWait wait;
  wait.limit_ms = limit_ms;
  wait.slice_ms = kWaitSliceMs;
  if (sink) {
    wait.on_slice = [&](std::uint64_t elapsed) {
      if (std::optional<std::u16string> status = sign_of_life(label, elapsed))
        sink(kLineStatus, *status);
    };
  }
  const ProcessEnd end = wait_for_process(process, wait);
  return end.timed_out ? kRunTimedOut : end.exit_code;
}

std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label) {
  const HWND window = current_inputs().window;
  return run_with_timeout(
      command_line, limit_ms, label,
      [window](char kind, const std::u16string& text) { post_to_window(window, kind, text); });
}

std::u16string find_worker_python(std::uint32_t version_test_limit_ms) {
  const std::vector<std::u16string> candidates =
      python_candidates(read_environment(L"LOCALAPPDATA"), read_environment(L"ProgramFiles"));
  for (const std::u16string& candidate : candidates) {
    if (is_path_candidate(candidate) && !file_exists(candidate)) continue;
    if (run_with_timeout(version_test_command(candidate), version_test_limit_ms, {}, nullptr) ==
        0) {
      return candidate;
    }
  }
  return {};
}

WorkerJob create_kill_on_close_job() {
  WorkerJob job;
  job.handle.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job.handle) {
    job.error = GetLastError();
    return job;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.handle.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    job.error = GetLastError();
    job.handle.reset();  // a job that does not end the worker with Parlivo would only pretend to
  }
  return job;
}

bool launch_worker(const LaunchPlan& plan, LaunchedWorker& launched) {
  WorkerPipes pipes;
  if (!create_worker_pipes(pipes)) return false;
  // Without a log the worker simply has no usable error output.
  const UniqueHandle log = create_log_file(plan.log_file);
  WorkerJob job = plan.make_job ? plan.make_job() : create_kill_on_close_job();

  ProcessStart start;
  start.command_line = plan.command_line;
  start.working_dir = plan.data_root;
  start.environment = worker_environment_block(plan);
  start.inherit_handles = true;
  start.hidden = true;
  start.standard_handles =
      StandardHandles{pipes.input_read.get(), pipes.output_write.get(), log.get()};
  start.job = job.handle.get();
  StartedProcess worker = start_process(start);
  // Whatever happened, Parlivo's copies of the worker's ends and of the log close on the way out.
  if (!worker.started()) return false;

  launched.job_error = job.error != 0 ? job.error : worker.job_error;
  if (worker.job_error != 0) job.handle.reset();  // closing it would not end the worker
  launched.input_write = std::move(pipes.input_write);
  launched.output_read = std::move(pipes.output_read);
  launched.job = std::move(job.handle);
  launched.process = std::move(worker.process);
  launched.thread = std::move(worker.thread);
  launched.process_id = worker.id;
  return true;
}

void hand_over_worker(HWND window, LaunchedWorker& launched) {
  {
    std::lock_guard<std::mutex> guard(g_process_lock);
    g_process = PROCESS_INFORMATION{launched.process.release(), launched.thread.release(),
                                    static_cast<DWORD>(launched.process_id), 0};
  }
  g_job.store(launched.job.release());
  set_worker_input(launched.input_write.release());
  start_reader(window, launched.output_read.release());
}

void run_bootstrap(const BootstrapInputs& inputs, const BootstrapHooks& hooks) {
  auto post = [&hooks](char kind, const std::u16string& text) {
    if (hooks.post) hooks.post(kind, text);
  };
  const WorkerPaths paths = worker_paths(inputs.program_folder);
  const std::u16string python_setting = read_paths_setting(paths.settings_file, kPathsPythonKey);
  const std::u16string root_setting = read_paths_setting(paths.settings_file, kPathsRootKey);

  if (needs_provisioning(python_setting, file_exists(paths.environment_interpreter))) {
    post(kLineStatus, kStatusLookingForPython);
    std::u16string python = find_worker_python(hooks.limits.version_test_ms);
    if (python.empty()) {
      post(kLineStatus, kStatusInstallingPython);
      run_with_timeout(kWingetInstallCommand, hooks.limits.winget_ms, kLabelWinget, hooks.post);
      python = find_worker_python(hooks.limits.version_test_ms);
    }
    if (python.empty()) {
      post(kLineStartFailed, python_required_text());
      return;
    }
    post(kLineStatus, kStatusCreatingEnvironment);
    const std::int32_t created =
        run_with_timeout(environment_command(python, paths.environment_folder),
                         hooks.limits.environment_ms, kLabelCreatingEnvironment, hooks.post);
    if (created != 0 || !file_exists(paths.environment_interpreter)) {
      post(kLineStartFailed, kErrorEnvironmentFailed);
      return;
    }
  }

  post(kLineStatus, kStatusStartingRecognizer);
  const std::u16string interpreter =
      choose_interpreter(paths, python_setting, file_exists(paths.environment_interpreter));
  LaunchPlan plan;
  plan.command_line = worker_command(interpreter, paths.worker_script);
  plan.data_root = choose_data_root(paths, root_setting);
  plan.log_file = paths.log_file;
  plan.speaker_model = inputs.speaker_model;
  plan.translation_model = inputs.translation_model;
  CreateDirectoryW(wide(plan.data_root), nullptr);  // one level; existing or failing is fine here

  plan.make_job = hooks.make_job;

  LaunchedWorker launched;
  if (!launch_worker(plan, launched)) {
    post(kLineStartFailed, kErrorCouldNotStartPython);
    return;
  }
  // Said before the worker's own lines can arrive, which replace it on the status line.
  std::vector<std::u16string> notices = inputs.notices;
  if (launched.job_error != 0) notices.push_back(worker_outside_job_text(launched.job_error));
  if (!notices.empty()) post(kLineStatus, join_notices(notices));
  if (hooks.hand_over) hooks.hand_over(launched);
}

void bootstrap_worker() {
  BootstrapInputs inputs = current_inputs();
  if (inputs.program_folder.empty()) {
    const std::wstring folder = program_dir();
    inputs.program_folder = from_wide(folder.c_str(), folder.size());
  }
  BootstrapHooks hooks;
  hooks.post = [window = inputs.window](char kind, const std::u16string& text) {
    post_to_window(window, kind, text);
  };
  hooks.hand_over = [window = inputs.window](LaunchedWorker& launched) {
    hand_over_worker(window, launched);
  };
  run_bootstrap(inputs, hooks);
}

void close_worker_job() {
  HANDLE job = g_job.exchange(nullptr);
  if (job != nullptr) CloseHandle(job);
}

HANDLE worker_job() { return g_job.load(); }

PROCESS_INFORMATION worker_process_information() {
  std::lock_guard<std::mutex> guard(g_process_lock);
  return g_process;
}

}  // namespace colloquor
