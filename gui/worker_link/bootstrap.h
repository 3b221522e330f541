// The worker bootstrap's rules that need no Win32: where the worker's files are, which interpreters
// are tried and in what order, the command lines, the environment handed to the worker, and every
// status and error text the bootstrap shows. The thread, the processes, the pipes and the job
// object are in bootstrap_win32.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace colloquor {

// Status texts ("S" records) in the order the start procedure shows them.
inline constexpr char16_t kStatusLookingForPython[] = u"First start: looking for Python...";
inline constexpr char16_t kStatusInstallingPython[] =
    u"Python not found - installing Python 3.12 with winget (one time, a few minutes)...";
inline constexpr char16_t kStatusCreatingEnvironment[] =
    u"Creating the Python environment (one time)...";
inline constexpr char16_t kStatusStartingRecognizer[] =
    u"Starting the recognizer (missing packages and models are installed automatically)...";

// Labels of the "N s elapsed..." signs of life during the long steps.
inline constexpr char16_t kLabelWinget[] = u"Installing Python 3.12 with winget (one time):";
inline constexpr char16_t kLabelCreatingEnvironment[] =
    u"Creating the Python environment (one time):";

// Error texts ("E" records): each ends the start for this program run.
inline constexpr char16_t kErrorEnvironmentFailed[] =
    u"Could not create the Python environment (venv folder next to the program).";
inline constexpr char16_t kErrorCouldNotStartPython[] =
    u"Could not start Python. Run setup.ps1 or set [paths] python= in settings.ini.";
inline constexpr char16_t kPythonDownloadSite[] = u"https://www.python.org/downloads/";
// "Python 3.10+ is required. Install it from <site> (tick "Add python.exe to PATH") and start the
// app again."
std::u16string python_required_text();

// Status ("S") of a worker that runs but could not be put into its kill-on-close job: it would not
// be ended with Parlivo. `error` is the Win32 error of the failing step.
std::u16string worker_outside_job_text(std::uint32_t error);
// Several such texts on the one status line: separated by a space.
std::u16string join_notices(const std::vector<std::u16string>& notices);

// The programs the bootstrap runs.
inline constexpr char16_t kWingetInstallCommand[] =
    u"winget install -e --id Python.Python.3.12 --silent --accept-package-agreements "
    u"--accept-source-agreements";
inline constexpr char16_t kVersionTestProgram[] =
    u"import sys; sys.exit(0 if sys.version_info >= (3, 10) else 1)";

// Time limits, in milliseconds.
inline constexpr std::uint32_t kVersionTestLimitMs = 30000;
inline constexpr std::uint32_t kWingetLimitMs = 1200000;
inline constexpr std::uint32_t kEnvironmentLimitMs = 600000;

// Results of run_with_timeout besides the exit code.
inline constexpr std::int32_t kRunNotStarted = -1;
inline constexpr std::int32_t kRunTimedOut = -2;

// The waiting rhythm of run_with_timeout: one wait slice per check, a sign of life per period.
inline constexpr std::uint32_t kWaitSliceMs = 1000;
inline constexpr std::uint32_t kSignOfLifePeriodMs = 5000;

// Environment variables the worker is given.
inline constexpr char16_t kEnvDataRoot[] = u"DICTATION_ROOT";
inline constexpr char16_t kEnvSpeakerModel[] = u"SPEAKER_MODEL";
inline constexpr char16_t kEnvTranslationModel[] = u"TRANSLATION_MODEL";

// Section and keys of the hand-written settings that the bootstrap reads.
inline constexpr char16_t kPathsSection[] = u"paths";
inline constexpr char16_t kPathsPythonKey[] = u"python";
inline constexpr char16_t kPathsRootKey[] = u"root";
// Buffer size for those settings and for the environment variables of the candidate search.
inline constexpr std::size_t kPathBufferChars = 260;

// The worker's files, all next to the program.
struct WorkerPaths {
  std::u16string settings_file;            // folder + "\settings.ini"
  std::u16string environment_folder;       // folder + "\venv"
  std::u16string environment_interpreter;  // folder + "\venv\Scripts\python.exe"
  std::u16string worker_script;            // folder + "\worker.py"
  std::u16string log_file;                 // folder + "\worker.log"
  std::u16string default_data_root;        // folder + "\data"
};
WorkerPaths worker_paths(std::u16string_view program_folder);

// The data root: the "root" setting when it is not empty, else the default next to the program.
std::u16string choose_data_root(const WorkerPaths& paths, std::u16string_view root_setting);

// Provisioning happens only when no interpreter is configured and the environment is missing.
bool needs_provisioning(std::u16string_view python_setting, bool environment_interpreter_exists);

// The interpreter the worker runs with: the setting, else the environment's, else "python" from
// the search path.
std::u16string choose_interpreter(const WorkerPaths& paths, std::u16string_view python_setting,
                                  bool environment_interpreter_exists);

// One command-line argument in double quotes, readable back by the usual argument rules: a
// backslash run before a quote (embedded or the closing one) is doubled and an embedded quote is
// escaped, so that a folder ending in "\" cannot swallow the closing quote.
std::u16string quote_argument(std::u16string_view argument);

// "<candidate>" -c "<version test program>"
std::u16string version_test_command(std::u16string_view candidate);
// "<python>" -m venv "<environment folder>"
std::u16string environment_command(std::u16string_view python, std::u16string_view folder);
// "<interpreter>" -u "<worker script>"
std::u16string worker_command(std::u16string_view interpreter, std::u16string_view script);

// Interpreters to try, in order: "python", "python3", then per-user installs (LOCALAPPDATA) and
// machine-wide installs (ProgramFiles) from 3.13 down to 3.10. An absent variable adds nothing.
std::vector<std::u16string> python_candidates(const std::optional<std::u16string>& local_app_data,
                                              const std::optional<std::u16string>& program_files);
// Candidates with a "\" are file paths: they are skipped without a run when the file is missing.
bool is_path_candidate(std::u16string_view candidate);

// The sign of life of a long step: "<label> <seconds> s elapsed..." when the elapsed time falls
// within the first slice of a period, nothing otherwise (and nothing without a label).
std::optional<std::u16string> sign_of_life(std::u16string_view label, std::uint64_t elapsed_ms);

// A change to the environment the worker inherits: set the variable, or remove it (no value).
struct EnvironmentChange {
  std::u16string name;
  std::optional<std::u16string> value;
};
// DICTATION_ROOT = data root; SPEAKER_MODEL and TRANSLATION_MODEL = the saved ids, removed when
// empty. Other variables (DICTATE_MODEL among them) stay as they are.
std::vector<EnvironmentChange> worker_environment_changes(std::u16string_view data_root,
                                                          std::u16string_view speaker_model,
                                                          std::u16string_view translation_model);

// The "NAME=value" entries of an environment block (each NUL-terminated, an empty entry ends it).
// `length` bounds the reading, so a block without its final NUL is still read safely.
std::vector<std::u16string> split_environment_block(const char16_t* block, std::size_t length);
// The name part of an entry; entries such as "=C:=C:\dir" keep their leading "=" in the name.
std::u16string_view environment_entry_name(std::u16string_view entry);
// Applies the changes (names compared without regard to ASCII case) and returns the entries sorted
// by name without regard to case, as the system keeps them.
std::vector<std::u16string> apply_environment_changes(
    std::vector<std::u16string> entries, const std::vector<EnvironmentChange>& changes);
// The entries as one block: each followed by NUL, and a final NUL.
std::u16string join_environment_block(const std::vector<std::u16string>& entries);

}  // namespace colloquor
