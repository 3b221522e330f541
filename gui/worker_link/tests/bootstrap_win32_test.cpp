// The worker bootstrap under Wine with stand-in interpreters: the interpreter search, winget,
// environment creation, every status and error record, the start with its pipes, log file,
// working directory and environment, and the job object that ends the worker and its children.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "worker_link/bootstrap_win32.h"
#include "worker_link/protocol.h"

#include "tests/support/win32_files.h"

namespace colloquor {
namespace {

using colloquor::test_support::own_folder;
using colloquor::test_support::read_file;

using Record = std::pair<char, std::u16string>;

std::u16string u(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void write_file(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << narrow(path);
  DWORD written = 0;
  WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
  CloseHandle(file);
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_folders(const std::wstring& path) {
  for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos;
       at = path.find(L'\\', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// Exe paths of the stand-in runs, in order, from the shared calls file.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Each test gets a program folder, a per-user and a machine-wide install root, and a folder on the
// search path; the environment of this process points at them for the duration of the test.
class BootstrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"colloquor_boot_" + std::to_wstring(GetCurrentProcessId()) +
            L"_" + std::to_wstring(++counter_);
    remove_tree(root_);
    program_ = root_ + L"\\Colloquor";
    local_ = root_ + L"\\Local";
    program_files_ = root_ + L"\\PF";
    path_dir_ = root_ + L"\\bin";
    calls_ = root_ + L"\\calls.txt";
    for (const auto& folder : {program_, local_, program_files_, path_dir_}) make_folders(folder);
    saved_ = {save(L"LOCALAPPDATA"), save(L"ProgramFiles"), save(L"PATH"),
              save(L"TRANSLATION_MODEL"), save(L"DICTATE_MODEL")};
    SetEnvironmentVariableW(L"LOCALAPPDATA", local_.c_str());
    SetEnvironmentVariableW(L"ProgramFiles", program_files_.c_str());
    // Only the test's folder and the system folders: no real interpreter can answer.
    std::wstring path = path_dir_ + L";C:\\windows\\system32;C:\\windows";
    SetEnvironmentVariableW(L"PATH", path.c_str());
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    launched_.clear();
    remove_tree(root_);
  }

  std::pair<std::wstring, std::wstring> save(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return {name, std::wstring(buffer, length)};
  }

  // Places a stand-in interpreter at folder\name with the given behaviour lines.
  std::wstring place_stand_in(const std::wstring& folder, const std::string& behaviour,
                              const std::wstring& name = L"python.exe") {
    make_folders(folder);
    std::wstring target = folder + L"\\" + name;
    EXPECT_TRUE(
        CopyFileW((own_folder() + L"\\" + STAND_IN_PYTHON_EXE).c_str(), target.c_str(), FALSE));
    write_file(folder + L"\\stand_in.txt", "calls=" + narrow(calls_) + "\n" + behaviour);
    return target;
  }

  std::wstring per_user(const wchar_t* version) {
    return local_ + L"\\Programs\\Python\\Python" + version;
  }
  std::wstring machine_wide(const wchar_t* version) {
    return program_files_ + L"\\Python" + version;
  }
  std::wstring environment_interpreter() { return program_ + L"\\venv\\Scripts\\python.exe"; }

  void set_paths(const wchar_t* key, const std::wstring& value) {
    WritePrivateProfileStringW(L"paths", key, value.c_str(),
                               (program_ + L"\\settings.ini").c_str());
  }

  // Exe path of every stand-in run, in order.
  std::vector<std::string> called_programs() {
    std::vector<std::string> programs;
    for (const std::string& line : lines_of(read_file(calls_)))
      programs.push_back(line.substr(0, line.find('|')));
    return programs;
  }
  std::vector<std::string> called_lines() { return lines_of(read_file(calls_)); }

  std::vector<Record> run(std::u16string speaker = u"", std::u16string translation = u"",
                          BootstrapLimits limits = {}, std::function<WorkerJob()> make_job = {}) {
    std::vector<Record> records;
    BootstrapInputs inputs;
    inputs.program_folder = u(program_);
    inputs.speaker_model = std::move(speaker);
    inputs.translation_model = std::move(translation);
    inputs.notices = notices_;
    BootstrapHooks hooks;
    hooks.post = [&records](char kind, const std::u16string& text) {
      records.emplace_back(kind, text);
    };
    hooks.hand_over = [this](LaunchedWorker& worker) { launched_.push_back(std::move(worker)); };
    hooks.limits = limits;
    hooks.make_job = std::move(make_job);
    run_bootstrap(inputs, hooks);
    return records;
  }

  // Reads the worker's output until `count` lines arrived or the output ended.
  std::vector<std::string> read_lines(HANDLE output, std::size_t count) {
    std::vector<std::string> lines;
    std::string pending;
    while (lines.size() < count) {
      char chunk[512];
      DWORD got = 0;
      if (!ReadFile(output, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
      pending.append(chunk, got);
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    return lines;
  }

  bool output_ends(HANDLE output) {
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    }
    return true;
  }

  std::string report_value(const std::wstring& data_root, const std::string& key) {
    for (const std::string& line : lines_of(read_file(data_root + L"\\worker_report.txt"))) {
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "<missing>";
  }

  static inline int counter_ = 0;
  std::wstring root_, program_, local_, program_files_, path_dir_, calls_;
  std::vector<std::pair<std::wstring, std::wstring>> saved_;
  std::vector<LaunchedWorker> launched_;
  std::vector<std::u16string> notices_;  // the window's, handed to the bootstrap
};

const Record kLooking{'S', kStatusLookingForPython};
const Record kInstalling{'S', kStatusInstallingPython};
const Record kCreating{'S', kStatusCreatingEnvironment};
const Record kStarting{'S', kStatusStartingRecognizer};
const Record kCouldNotStart{'E', kErrorCouldNotStartPython};
const Record kEnvironmentFailed{'E', kErrorEnvironmentFailed};

// ---- run_with_timeout ------------------------------------------------------------------------

TEST_F(BootstrapTest, RunWithTimeoutReturnsExitCodeOrNotStarted) {
  std::wstring tool = place_stand_in(root_ + L"\\tool", "");
  EXPECT_EQ(run_with_timeout(u"\"" + u(tool) + u"\" --exit 7", 30000, {}, nullptr), 7);
  EXPECT_EQ(run_with_timeout(u"\"" + u(tool) + u"\" --exit 0", 30000, {}, nullptr), 0);
  EXPECT_EQ(
      run_with_timeout(u"\"" + u(root_) + u"\\missing\\python.exe\" -c x", 30000, {}, nullptr),
      kRunNotStarted);
}

bool process_named_alive(const std::wstring& exe_name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  bool alive = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, exe_name.c_str()) == 0) alive = true;
  }
  CloseHandle(snapshot);
  return alive;
}

TEST_F(BootstrapTest, RunWithTimeoutStopsAHangingProcessAtTheLimit) {
  const std::wstring name = L"hang_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  std::wstring tool = place_stand_in(root_ + L"\\tool", "", name);
  std::vector<Record> records;
  const ULONGLONG started = GetTickCount64();
  std::int32_t result = run_with_timeout(
      u"\"" + u(tool) + u"\" --sleep 600000", 1500, u"Label:",
      [&](char kind, const std::u16string& text) { records.emplace_back(kind, text); });
  EXPECT_EQ(result, kRunTimedOut);
  EXPECT_LT(GetTickCount64() - started, 20000u);
  EXPECT_FALSE(process_named_alive(name));
  EXPECT_TRUE(records.empty());  // stopped long before the first sign of life was due
}

// ---- find_worker_python ----------------------------------------------------------------------

TEST_F(BootstrapTest, SearchSkipsTooOldAndMissingCandidatesAndStopsAtTheFirstThatPasses) {
  place_stand_in(path_dir_, "version=1\n");  // "python" is 3.9
  std::wstring good = place_stand_in(per_user(L"312"), "version=0\n");
  place_stand_in(machine_wide(L"311"), "version=0\n");  // never reached
  EXPECT_EQ(find_worker_python(), u(good));
  // "python3" and the per-user 3.13 do not exist: nothing runs for them.
  EXPECT_EQ(called_programs(),
            (std::vector<std::string>{narrow(path_dir_ + L"\\python.exe"), narrow(good)}));
  EXPECT_NE(called_lines()[0].find(
                "-c \"import sys; sys.exit(0 if sys.version_info >= (3, 10) else 1)\""),
            std::string::npos);
}

TEST_F(BootstrapTest, SearchCountsAHangingCandidateAsFailedAndGoesOn) {
  place_stand_in(path_dir_, "version=hang\n");
  std::wstring good = place_stand_in(machine_wide(L"310"), "version=0\n");
  EXPECT_EQ(find_worker_python(1500), u(good));
  EXPECT_EQ(called_programs().size(), 2u);
}

TEST_F(BootstrapTest, SearchFindsNothingWhenNoCandidatePasses) {
  place_stand_in(path_dir_, "version=1\n");
  place_stand_in(per_user(L"310"), "version=1\n");
  EXPECT_EQ(find_worker_python(), u"");
  EXPECT_EQ(called_programs().size(), 2u);
}

// ---- provisioning ----------------------------------------------------------------------------

TEST_F(BootstrapTest, FirstStartCreatesTheEnvironmentAndStartsTheWorkerWithIt) {
  place_stand_in(path_dir_, "version=1\n");
  std::wstring good = place_stand_in(per_user(L"312"), "version=0\n");
  std::vector<Record> records = run(u"campp", u"");
  EXPECT_EQ(records, (std::vector<Record>{kLooking, kCreating, kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  EXPECT_TRUE(exists(environment_interpreter()));
  // The worker talks over the pipes (and has logged its run by the time it does).
  std::vector<std::string> lines = read_lines(launched_[0].output_read.get(), 1);
  ASSERT_EQ(lines, (std::vector<std::string>{"S\tstand-in ready"}));
  std::vector<std::string> calls = called_lines();
  ASSERT_EQ(calls.size(), 4u);  // python (too old), 3.12 (passes), venv, the worker
  EXPECT_EQ(calls[2],
            narrow(good) + "|\"" + narrow(good) + "\" -m venv \"" + narrow(program_) + "\\venv\"");
  EXPECT_EQ(calls[3], narrow(environment_interpreter()) + "|\"" +
                          narrow(environment_interpreter()) + "\" -u \"" + narrow(program_) +
                          "\\worker.py\"");

  // The worker runs in the data root, with its variables.
  const std::wstring data = program_ + L"\\data";
  EXPECT_EQ(report_value(data, "cwd"), narrow(data));
  EXPECT_EQ(report_value(data, "DICTATION_ROOT"), narrow(data));
  EXPECT_EQ(report_value(data, "SPEAKER_MODEL"), "campp");
  EXPECT_EQ(report_value(data, "TRANSLATION_MODEL"), "<unset>");
}

TEST_F(BootstrapTest, WingetInstallsPythonWhenNoneIsFound) {
  // The stand-in winget puts a 3.12 into the per-user folder, where the second search finds it.
  place_stand_in(path_dir_, "winget_sleep_ms=5500\n", L"winget.exe");
  place_stand_in(path_dir_ + L"\\payload", "version=0\n");
  std::vector<Record> records = run();
  const std::u16string sign = std::u16string(kLabelWinget) + u" 5 s elapsed...";
  EXPECT_EQ(records,
            (std::vector<Record>{kLooking, kInstalling, {'S', sign}, kCreating, kStarting}));
  EXPECT_EQ(launched_.size(), 1u);
  std::vector<std::string> calls = called_lines();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0], narrow(path_dir_) +
                          "\\winget.exe|winget install -e --id Python.Python.3.12 --silent "
                          "--accept-package-agreements --accept-source-agreements");
  EXPECT_EQ(calls[1].substr(0, calls[1].find('|')), narrow(per_user(L"312") + L"\\python.exe"));
}

TEST_F(BootstrapTest, NoPythonAndNoWingetEndsWithThePythonRequiredText) {
  place_stand_in(path_dir_, "version=1\n");
  std::vector<Record> records = run();
  EXPECT_EQ(records, (std::vector<Record>{kLooking, kInstalling, {'E', python_required_text()}}));
  EXPECT_TRUE(launched_.empty());
  EXPECT_FALSE(exists(program_ + L"\\venv"));
}

TEST_F(BootstrapTest, FailedOrEmptyEnvironmentCreationEndsTheStart) {
  place_stand_in(per_user(L"311"), "version=0\nvenv_exit=1\n");
  EXPECT_EQ(run(), (std::vector<Record>{kLooking, kCreating, kEnvironmentFailed}));
  EXPECT_TRUE(launched_.empty());

  // Success reported, but no interpreter left behind.
  remove_tree(program_ + L"\\venv");
  place_stand_in(per_user(L"311"), "version=0\nvenv_make=0\n");
  EXPECT_EQ(run(), (std::vector<Record>{kLooking, kCreating, kEnvironmentFailed}));
  EXPECT_TRUE(launched_.empty());
}

TEST_F(BootstrapTest, SlowEnvironmentCreationShowsSignsOfLife) {
  place_stand_in(per_user(L"312"), "version=0\nvenv_sleep_ms=11500\n");
  std::vector<Record> records = run();
  const std::u16string label = kLabelCreatingEnvironment;
  EXPECT_EQ(records, (std::vector<Record>{kLooking,
                                          kCreating,
                                          {'S', label + u" 5 s elapsed..."},
                                          {'S', label + u" 10 s elapsed..."},
                                          kStarting}));
  EXPECT_EQ(launched_.size(), 1u);
}

TEST_F(BootstrapTest, EnvironmentCreationThatHangsIsStoppedAtItsLimit) {
  place_stand_in(per_user(L"312"), "version=0\nvenv_sleep_ms=600000\n");
  BootstrapLimits limits;
  limits.environment_ms = 1500;
  EXPECT_EQ(run(u"", u"", limits), (std::vector<Record>{kLooking, kCreating, kEnvironmentFailed}));
}

// ---- starting without provisioning -----------------------------------------------------------

TEST_F(BootstrapTest, ConfiguredInterpreterIsUsedWithoutProvisioning) {
  std::wstring configured = place_stand_in(root_ + L"\\MyPython", "");
  set_paths(L"python", configured);
  std::vector<Record> records = run(u"", u"nllb13");
  EXPECT_EQ(records, (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  EXPECT_EQ(read_lines(launched_[0].output_read.get(), 1),
            (std::vector<std::string>{"S\tstand-in ready"}));
  EXPECT_EQ(called_programs(), (std::vector<std::string>{narrow(configured)}));
  EXPECT_EQ(report_value(program_ + L"\\data", "TRANSLATION_MODEL"), "nllb13");
  EXPECT_EQ(report_value(program_ + L"\\data", "SPEAKER_MODEL"), "<unset>");
}

TEST_F(BootstrapTest, ConfiguredInterpreterThatDoesNotExistFailsToStart) {
  place_stand_in(per_user(L"312"), "version=0\n");  // must not be looked for
  set_paths(L"python", root_ + L"\\nowhere\\python.exe");
  EXPECT_EQ(run(), (std::vector<Record>{kStarting, kCouldNotStart}));
  EXPECT_TRUE(launched_.empty());
  EXPECT_TRUE(called_programs().empty());
}

TEST_F(BootstrapTest, ExistingEnvironmentGoesStraightToStarting) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  EXPECT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  ASSERT_EQ(read_lines(launched_[0].output_read.get(), 1).size(), 1u);
  EXPECT_EQ(called_programs(), (std::vector<std::string>{narrow(environment_interpreter())}));
}

TEST_F(BootstrapTest, DataRootSettingIsCreatedAndBecomesTheWorkingFolder) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  const std::wstring data = root_ + L"\\Models";
  set_paths(L"root", data);
  EXPECT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  read_lines(launched_[0].output_read.get(), 1);
  EXPECT_EQ(report_value(data, "cwd"), narrow(data));
  EXPECT_EQ(report_value(data, "DICTATION_ROOT"), narrow(data));
}

TEST_F(BootstrapTest, DataRootWhoseParentIsMissingFailsToStart) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  set_paths(L"root", root_ + L"\\no\\such\\folder");
  EXPECT_EQ(run(), (std::vector<Record>{kStarting, kCouldNotStart}));
  EXPECT_TRUE(launched_.empty());
}

// ---- the started worker ----------------------------------------------------------------------

TEST_F(BootstrapTest, FramesReachTheWorkerAndEndOfInputEndsIt) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  write_file(program_ + L"\\worker.log", "left over from the last run, must go\n");
  ASSERT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  LaunchedWorker& worker = launched_[0];
  ASSERT_EQ(read_lines(worker.output_read.get(), 1).size(), 1u);

  const char channel = 1;
  std::string frame = encode_frame('E', &channel, 1);
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(worker.input_write.get(), frame.data(), DWORD(frame.size()), &written, nullptr));
  EXPECT_EQ(read_lines(worker.output_read.get(), 1), (std::vector<std::string>{"S\tframe E 1"}));

  worker.input_write.reset();
  EXPECT_EQ(WaitForSingleObject(worker.process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(output_ends(worker.output_read.get()));
  EXPECT_EQ(read_file(program_ + L"\\data\\worker_eof.txt"), "eof\n");
  EXPECT_EQ(read_file(program_ + L"\\worker.log"), "stand-in worker: started\n");
}

TEST_F(BootstrapTest, WorkerThatEndsAtOnceClosesItsOutput) {
  place_stand_in(program_ + L"\\venv\\Scripts", "worker_exit=3\n");
  ASSERT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  // Parlivo holds no copy of the output's write end, so the end shows at once.
  EXPECT_TRUE(read_lines(launched_[0].output_read.get(), 1).empty());
  DWORD code = 0;
  WaitForSingleObject(launched_[0].process.get(), 10000);
  GetExitCodeProcess(launched_[0].process.get(), &code);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(read_file(program_ + L"\\worker.log"), "stand-in worker: started\n");
}

TEST_F(BootstrapTest, WorkerStartsEvenWhenTheLogFileCannotBeCreated) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  CreateDirectoryW((program_ + L"\\worker.log").c_str(), nullptr);  // a folder in the log's place
  ASSERT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  EXPECT_EQ(read_lines(launched_[0].output_read.get(), 1),
            (std::vector<std::string>{"S\tstand-in ready"}));
}

TEST_F(BootstrapTest, ClosingTheJobEndsTheWorkerAndWhatItStarted) {
  place_stand_in(program_ + L"\\venv\\Scripts", "worker_child=1\n");
  ASSERT_EQ(run(), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  LaunchedWorker& worker = launched_[0];
  ASSERT_TRUE(worker.job);
  EXPECT_EQ(worker.job_error, 0u);
  ASSERT_EQ(read_lines(worker.output_read.get(), 1).size(), 1u);
  const DWORD child_id = DWORD(std::stoul(report_value(program_ + L"\\data", "child_pid")));
  ASSERT_NE(child_id, 0u);
  HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, child_id);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(WaitForSingleObject(worker.process.get(), 500), WAIT_TIMEOUT);

  worker.job.reset();  // the input pipe stays open: only the job can end them
  EXPECT_EQ(WaitForSingleObject(worker.process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0);
  CloseHandle(child);
}

// A handle to a kill-on-close job without the right to put processes into it.
WorkerJob job_without_assign_right() {
  WorkerJob full = create_kill_on_close_job();
  HANDLE limited = nullptr;
  DuplicateHandle(GetCurrentProcess(), full.handle.get(), GetCurrentProcess(), &limited,
                  JOB_OBJECT_QUERY, FALSE, 0);
  WorkerJob job;
  job.handle.reset(limited);
  return job;
}

TEST_F(BootstrapTest, AWorkerThatCannotJoinItsJobRunsAndSaysItMayOutliveParlivo) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  notices_ = {u"The window's own problem."};
  EXPECT_EQ(run(u"", u"", {}, job_without_assign_right),
            (std::vector<Record>{kStarting,
                                 {'S', u"The window's own problem. " +
                                           worker_outside_job_text(ERROR_ACCESS_DENIED)}}));
  ASSERT_EQ(launched_.size(), 1u);
  EXPECT_FALSE(launched_[0].job);  // closing it would not end the worker
  EXPECT_EQ(launched_[0].job_error, DWORD(ERROR_ACCESS_DENIED));
  // Resumed all the same: it talks.
  EXPECT_EQ(read_lines(launched_[0].output_read.get(), 1),
            (std::vector<std::string>{"S\tstand-in ready"}));
}

TEST_F(BootstrapTest, WorkerEnvironmentKeepsTheUsersModelChoiceAndDropsStaleIds) {
  place_stand_in(program_ + L"\\venv\\Scripts", "");
  SetEnvironmentVariableW(L"DICTATE_MODEL", L"tiny.en");
  SetEnvironmentVariableW(L"TRANSLATION_MODEL", L"stale");
  ASSERT_EQ(run(u"resnet34", u""), (std::vector<Record>{kStarting}));
  ASSERT_EQ(launched_.size(), 1u);
  read_lines(launched_[0].output_read.get(), 1);
  const std::wstring data = program_ + L"\\data";
  EXPECT_EQ(report_value(data, "DICTATE_MODEL"), "tiny.en");
  EXPECT_EQ(report_value(data, "TRANSLATION_MODEL"), "<unset>");
  EXPECT_EQ(report_value(data, "SPEAKER_MODEL"), "resnet34");
}

TEST(QuotingTest, QuotedArgumentsReadBackWholeWithTheSystemsRules) {
  const std::vector<std::u16string> arguments = {u"C:\\Program Files\\Python312\\python.exe",
                                                 u"C:\\data\\",
                                                 u"say \"hi\"",
                                                 u"x\\\"y",
                                                 u"",
                                                 u"a\\\\b c"};
  std::u16string command = u"prog";
  for (const auto& argument : arguments) command += u" " + quote_argument(argument);
  int count = 0;
  wchar_t** parsed = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(command.c_str()), &count);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(count, int(arguments.size()) + 1);
  for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(u(parsed[i + 1]), arguments[i]) << i;
  LocalFree(parsed);
}

}  // namespace
}  // namespace colloquor
