#include "worker_link/bootstrap_win32.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "shared/program_dir_win32.h"
#include "worker_link/frame_writer.h"
#include "worker_link/reader_win32.h"
#include "worker_link/worker_line.h"
#include "shared/win32_text.h"

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
  DWORD length = GetPrivateProfileStringW(wide(std::u16string(kPathsSection)), wide(std::u16string(key)),
                                          L"", buffer, kPathBufferChars, wide(settings_file));
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

HANDLE create_kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

void close_if_open(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

struct WorkerPipes {
  HANDLE input_read = nullptr;
  HANDLE input_write = nullptr;
  HANDLE output_read = nullptr;
  HANDLE output_write = nullptr;
};

bool create_worker_pipes(WorkerPipes& pipes) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  if (!CreatePipe(&pipes.input_read, &pipes.input_write, &inheritable, 0)) return false;
  if (!CreatePipe(&pipes.output_read, &pipes.output_write, &inheritable, 0)) return false;
  // Parlivo's own ends stay out of the worker: a worker holding the write end of its own output
  // would keep the reader from ever seeing the end.
  SetHandleInformation(pipes.input_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(pipes.output_read, HANDLE_FLAG_INHERIT, 0);
  return true;
}

HANDLE create_log_file(const std::u16string& path) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void set_bootstrap_inputs(BootstrapInputs inputs) {
  std::lock_guard<std::mutex> guard(g_inputs_lock);
  g_inputs = std::move(inputs);
}

std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label, const RecordSink& sink) {
  std::u16string command(command_line);  // CreateProcessW may write into its command line
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(command.data()), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return kRunNotStarted;
  }
  const ULONGLONG started = GetTickCount64();
  bool timed_out = false;
  for (;;) {
    DWORD waited = WaitForSingleObject(process.hProcess, kWaitSliceMs);
    if (waited == WAIT_OBJECT_0) break;
    if (waited == WAIT_FAILED) Sleep(kWaitSliceMs);  // keep the rhythm rather than spin
    const ULONGLONG elapsed = GetTickCount64() - started;
    if (elapsed > limit_ms) {
      timed_out = true;
      break;
    }
    if (sink) {
      if (std::optional<std::u16string> status = sign_of_life(label, elapsed)) sink(kLineStatus, *status);
    }
  }
  std::int32_t result = kRunTimedOut;
  if (timed_out) {
    TerminateProcess(process.hProcess, 1);
    // Termination is asynchronous; let it finish so the next step does not meet its files in use.
    WaitForSingleObject(process.hProcess, 5000);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result = static_cast<std::int32_t>(code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

std::int32_t run_with_timeout(std::u16string_view command_line, std::uint32_t limit_ms,
                              std::u16string_view label) {
  const HWND window = current_inputs().window;
  return run_with_timeout(command_line, limit_ms, label,
                          [window](char kind, const std::u16string& text) { post_to_window(window, kind, text); });
}

std::u16string find_worker_python(std::uint32_t version_test_limit_ms) {
  const std::vector<std::u16string> candidates =
      python_candidates(read_environment(L"LOCALAPPDATA"), read_environment(L"ProgramFiles"));
  for (const std::u16string& candidate : candidates) {
    if (is_path_candidate(candidate) && !file_exists(candidate)) continue;
    if (run_with_timeout(version_test_command(candidate), version_test_limit_ms, {}, nullptr) == 0) {
      return candidate;
    }
  }
  return {};
}

bool launch_worker(const LaunchPlan& plan, LaunchedWorker& launched) {
  WorkerPipes pipes;
  const bool piped = create_worker_pipes(pipes);
  HANDLE log = INVALID_HANDLE_VALUE;
  HANDLE job = nullptr;
  PROCESS_INFORMATION process = {};
  bool started = false;
  if (piped) {
    log = create_log_file(plan.log_file);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = pipes.input_read;
    startup.hStdOutput = pipes.output_write;
    startup.hStdError = log;  // without a log the worker simply has no usable error output
    std::u16string command = plan.command_line;
    std::u16string environment = worker_environment_block(plan);
    job = create_kill_on_close_job();
    started = CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(command.data()), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                             environment.data(), wide(plan.data_root), &startup, &process);
  }
  // The worker has its copies now (or never will): Parlivo keeps only its own ends.
  close_if_open(pipes.input_read);
  close_if_open(pipes.output_write);
  close_if_open(log);
  if (!started) {
    close_if_open(pipes.input_write);
    close_if_open(pipes.output_read);
    close_if_open(job);
    return false;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  launched.input_write = pipes.input_write;
  launched.output_read = pipes.output_read;
  launched.job = job;
  launched.process = process;
  return true;
}

void hand_over_worker(HWND window, LaunchedWorker& launched) {
  {
    std::lock_guard<std::mutex> guard(g_process_lock);
    g_process = launched.process;
  }
  g_job.store(launched.job);
  set_worker_input(launched.input_write);
  start_reader(window, launched.output_read);
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
    const std::int32_t created = run_with_timeout(environment_command(python, paths.environment_folder),
                                                  hooks.limits.environment_ms, kLabelCreatingEnvironment,
                                                  hooks.post);
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

  LaunchedWorker launched;
  if (!launch_worker(plan, launched)) {
    post(kLineStartFailed, kErrorCouldNotStartPython);
    return;
  }
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
  hooks.hand_over = [window = inputs.window](LaunchedWorker& launched) { hand_over_worker(window, launched); };
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
