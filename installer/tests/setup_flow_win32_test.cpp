// The installer's whole run under Wine, driven through setup_under_test.exe: the same program as
// ColloquorSetup.exe except that the folder choice, the free space and the download addresses come
// from the environment, and its Parlivo.exe is a probe that records being started. Interpreters,
// tar.exe, the Python installer and nvidia-smi are copies of stand_in_tool.exe; downloads come from
// a server on 127.0.0.1. The answers to the console questions are written to standard input.
#include <gtest/gtest.h>

#include <objbase.h>
#include <regex>
#include <shlobj.h>
#include <shobjidl.h>

#include "installer/setup_rules.h"
#include "setup_harness.h"

namespace {

using namespace setup_test;

const char* const kAgain =
    "The installation is not finished. Run the installer again - the steps that are already done "
    "are skipped.";

// One private machine: its own per-user and program folders, temporary folder and system root.
struct Machine {
  std::wstring root = fresh_folder(L"setup");
  std::wstring chosen = root + L"\\Target";
  std::wstring install_dir = chosen + L"\\Colloquor";
  std::wstring local = root + L"\\local";
  std::wstring program_files = root + L"\\pf";
  std::wstring temp = root + L"\\temp";
  std::wstring bin = root + L"\\bin";
  std::wstring calls = root + L"\\calls.txt";
  std::map<std::wstring, std::wstring> env;

  Machine() {
    for (const auto& folder : {chosen, local, program_files, temp, bin}) make_folders(folder);
    wchar_t path[32768] = {};
    GetEnvironmentVariableW(L"PATH", path, 32768);
    env = {{L"COLLOQUOR_TEST_FOLDER", chosen},
           {L"COLLOQUOR_TEST_FREE_BYTES", L"21474836480"},
           {L"COLLOQUOR_TEST_PACKAGE_URL", L"http://127.0.0.1:9/package"},
           {L"COLLOQUOR_TEST_INSTALLER_URL", L"http://127.0.0.1:9/installer"},
           {L"LOCALAPPDATA", local},
           {L"ProgramFiles", program_files},
           {L"ProgramW6432", program_files},  // Wine sets ProgramFiles from it in 64-bit programs
           {L"TEMP", temp},
           {L"TMP", temp},
           {L"PATH", bin + L";" + path}};
  }

  std::string tool_settings(const std::string& extra = "") const {
    return "calls=" + narrow(calls) + "\n" + extra;
  }

  // A per-user Python 3.12 as the official installer leaves it.
  std::wstring per_user_python(const std::string& extra = "") const {
    return place_tool(local + L"\\Programs\\Python\\Python312", L"python.exe",
                      tool_settings(extra));
  }

  RunResult run(const std::string& input) const {
    return run_program(L"\"" + unix_path(INSTALLER_BUILD_DIR "/setup_under_test.exe") + L"\"", env,
                       input);
  }

  std::vector<std::string> call_lines() const { return lines_of(read_file(calls)); }
};

std::string n(const std::wstring& text) { return narrow(text); }

// Files placed into the system folder for one test (Wine gives every program the real SystemRoot,
// whatever the parent's environment says) and removed again afterwards.
struct SystemFolderFiles {
  std::wstring folder = [] {
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path);
  }();
  std::vector<std::wstring> placed;

  std::wstring tool(const wchar_t* name, const std::string& settings) {
    placed.push_back(folder + L"\\" + name);
    placed.push_back(folder + L"\\tool.txt");
    return place_tool(folder, name, settings);
  }
  void file(const wchar_t* name, const std::string& content) {
    placed.push_back(folder + L"\\" + name);
    write_file(folder + L"\\" + name, content);
  }
  ~SystemFolderFiles() {
    for (const auto& path : placed) DeleteFileW(path.c_str());
  }
};

std::vector<std::string> lines_after(const std::vector<std::string>& lines,
                                     const std::string& heading) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == heading)
      return std::vector<std::string>(lines.begin() + long(i) + 1, lines.end());
  }
  return {"<no heading " + heading + ">"};
}

std::vector<std::string> until_blank(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    if (line.empty()) break;
    out.push_back(line);
  }
  return out;
}

bool contains_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string launched_from(const std::wstring& install_dir, DWORD wait_ms) {
  const std::wstring marker = install_dir + L"\\launched.txt";
  for (DWORD waited = 0; waited < wait_ms && !exists(marker); waited += 100) Sleep(100);
  const std::string raw = read_file(marker);
  return narrow(std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2));
}

struct Shortcut {
  bool loaded = false;
  std::wstring path, working_dir, description;
};

Shortcut read_desktop_shortcut() {
  Shortcut shortcut;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  PWSTR desktop = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &desktop))) return shortcut;
  const std::wstring file = std::wstring(desktop) + L"\\Colloquor.lnk";
  CoTaskMemFree(desktop);
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return shortcut;
  }
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
      wchar_t text[MAX_PATH] = {};
      shortcut.loaded = true;
      link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
      shortcut.path = text;
      link->GetWorkingDirectory(text, MAX_PATH);
      shortcut.working_dir = text;
      link->GetDescription(text, MAX_PATH);
      shortcut.description = text;
    }
    persist->Release();
  }
  link->Release();
  return shortcut;
}

void delete_desktop_shortcut() {
  PWSTR desktop = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &desktop))) return;
  DeleteFileW((std::wstring(desktop) + L"\\Colloquor.lnk").c_str());
  CoTaskMemFree(desktop);
}

// ------------------------------------------------------------------------------------- frame

TEST(SetupFrame, CancelledPickerEndsThroughTheErrorExit) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FOLDER"] = L"<unset>";
  const RunResult run = machine.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, std::string("Colloquor - setup\r\nA folder picker opens now.\r\n\r\n"
                                    "ERROR: no folder was chosen.\r\n") +
                            kAgain + "\r\n\r\nPress Enter to close this window...");
}

TEST(SetupFrame, FolderThatCannotBeCreatedStops) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FOLDER"] = machine.root + L"\\missing\\parent";
  const RunResult run = machine.run("\n");
  EXPECT_EQ(run.exit_code, 1);
  const auto lines = lines_of(run.output);
  EXPECT_TRUE(contains_line(lines, "ERROR: could not create the folder " + n(machine.root) +
                                       "\\missing\\parent\\Colloquor"))
      << run.output;
}

TEST(SetupFrame, OneByteBelowEightGibibytesStopsBeforeTheFirstStep) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"8589934591";
  const RunResult run = machine.run("\n");
  EXPECT_EQ(run.exit_code, 1);
  const auto lines = lines_of(run.output);
  ASSERT_GE(lines.size(), 6u) << run.output;
  EXPECT_EQ(lines[2], "Install folder: " + n(machine.install_dir));
  EXPECT_EQ(lines[3], "Free space on the target drive: 7 GB (about 8 GB are needed).");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5],
            "ERROR: not enough free disk space on the target drive. Choose another folder and run "
            "the installer again.");
  EXPECT_TRUE(exists(machine.install_dir));
  EXPECT_FALSE(exists(machine.install_dir + L"\\Parlivo.exe"));
}

TEST(SetupFrame, ExactlyEightGibibytesOrAFailedQueryGoOn) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"8589934592";
  RunResult run = machine.run("\n");
  auto lines = lines_of(run.output);
  ASSERT_GE(lines.size(), 6u) << run.output;
  EXPECT_EQ(lines[3], "Free space on the target drive: 8 GB (about 8 GB are needed).");
  EXPECT_EQ(lines[5], "===== 1/5  Program files =====");

  Machine quiet;
  quiet.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"fail";
  run = quiet.run("\n");
  lines = lines_of(run.output);
  ASSERT_GE(lines.size(), 5u) << run.output;
  EXPECT_EQ(lines[2], "Install folder: " + n(quiet.install_dir));
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "===== 1/5  Program files =====");
}

TEST(SetupFrame, RealFreeSpaceQueryOfTheTargetVolume) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"<unset>";
  const RunResult run = machine.run("\n");
  ULARGE_INTEGER available = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(machine.chosen.c_str(), &available, nullptr, nullptr));
  const auto lines = lines_of(run.output);
  ASSERT_GE(lines.size(), 4u) << run.output;
  const std::regex line("Free space on the target drive: (\\d+) GB \\(about 8 GB are needed\\)\\.");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[3], match, line)) << lines[3];
  const unsigned long long shown = std::stoull(match[1]);
  const unsigned long long gib = available.QuadPart >> 30;
  EXPECT_LE(shown > gib ? shown - gib : gib - shown, 1u);  // the disk may change a little meanwhile
  EXPECT_EQ(contains_line(lines, "===== 1/5  Program files ====="), shown >= 8);
}

// ------------------------------------------------------------------------------------- whole run

TEST(SetupRun, FromAPerUserPythonToTheShortcutAndNoStart) {
  delete_desktop_shortcut();
  Machine machine;
  const std::wstring python = machine.per_user_python();
  const RunResult run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const std::string i = n(machine.install_dir);
  const std::string expected =
      std::string("Colloquor - setup\r\nA folder picker opens now.\r\n") + "Install folder: " + i +
      "\r\n" +
      "Free space on the target drive: 20 GB (about 8 GB are needed).\r\n"
      "\r\n===== 1/5  Program files =====\r\n"
      "  Parlivo.exe\r\n  worker.py\r\n  dl_progress.py\r\n  requirements.txt\r\n"
      "  install_models.py\r\n  README.md\r\n"
      "\r\n===== 2/5  Python =====\r\n"
      "Python: " +
      n(python) +
      "\r\n"
      "Creating the venv environment...\r\n"
      "\r\n===== 3/5  Python packages =====\r\n"
      "No NVIDIA video card found - installing without the CUDA libraries (runs on the "
      "processor).\r\n"
      "stand-in pip\r\nstand-in pip\r\n"
      "\r\n===== 4/5  Models =====\r\n"
      "Recognition: Whisper small (~0.5 GB), translation: NLLB-200 (~1.4 GB).\r\n"
      "stand-in models\r\n"
      "\r\n===== 5/5  Done =====\r\n"
      "Desktop shortcut: Colloquor\r\n"
      "The program is installed in " +
      i +
      "\r\n\r\n"
      "Start Colloquor now? [Y/n] ";
  EXPECT_EQ(run.output, expected);

  // The payload, byte for byte.
  EXPECT_TRUE(read_file(machine.install_dir + L"\\Parlivo.exe") ==
              read_file(unix_path(LAUNCH_PROBE_EXE)));
  for (const auto& [file, source] :
       {std::pair{L"worker.py", COLLOQUOR_SOURCE_DIR "/worker/worker.py"},
        std::pair{L"dl_progress.py", COLLOQUOR_SOURCE_DIR "/worker/dl_progress.py"},
        std::pair{L"requirements.txt", COLLOQUOR_SOURCE_DIR "/worker/requirements.txt"},
        std::pair{L"install_models.py", COLLOQUOR_SOURCE_DIR "/installer/install_models.py"},
        std::pair{L"README.md", COLLOQUOR_SOURCE_DIR "/resources/README.md"}}) {
    const std::string expected_bytes = read_file(unix_path(source));
    ASSERT_FALSE(expected_bytes.empty());
    EXPECT_TRUE(read_file(machine.install_dir + L"\\" + file) == expected_bytes) << n(file);
  }

  // The CPU list: the shipped list without its two CUDA lines.
  const std::string cpu = read_file(machine.install_dir + L"\\requirements-cpu.txt");
  EXPECT_EQ(cpu.find("nvidia"), std::string::npos);
  EXPECT_NE(cpu.find("# CUDA 12 runtime libraries"), std::string::npos);
  EXPECT_NE(cpu.find("sherpa-onnx>=1.12"), std::string::npos);

  // Every child, in order, with its working directory and command line.
  const std::string venv_python = n(machine.install_dir) + "\\venv\\Scripts\\python.exe";
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  const std::string own_dir = narrow(cwd);
  const std::vector<std::string> expected_calls = {
      n(python) + "|" + own_dir + "|\"" + n(python) +
          "\" -c \"import sys, ssl, venv, ensurepip, sqlite3; sys.exit(0 if (3, 10) <= "
          "sys.version_info[:2] <= "
          "(3, 13) else 1)\"",
      n(python) + "|" + own_dir + "|\"" + n(python) + "\" -m venv \"" + i + "\\venv\"",
      venv_python + "|" + own_dir + "|\"" + venv_python +
          "\" -m pip install --disable-pip-version-check --upgrade pip",
      venv_python + "|" + own_dir + "|\"" + venv_python +
          "\" -m pip install --disable-pip-version-check -r \"" + i + "\\requirements-cpu.txt\"",
      venv_python + "|" + i + "|\"" + venv_python + "\" -u \"" + i + "\\install_models.py\"",
  };
  EXPECT_EQ(machine.call_lines(), expected_calls);

  const Shortcut shortcut = read_desktop_shortcut();
  ASSERT_TRUE(shortcut.loaded);
  EXPECT_EQ(shortcut.path, machine.install_dir + L"\\Parlivo.exe");
  EXPECT_EQ(shortcut.working_dir, machine.install_dir);
  EXPECT_EQ(shortcut.description, L"Live speech recognition and translation");

  EXPECT_EQ(launched_from(machine.install_dir, 3000), "");
}

TEST(SetupRun, EnterStartsTheProgramAndASecondRunSkipsPythonAndTheSpaceCheck) {
  Machine machine;
  place_tool(machine.program_files + L"\\Python311", L"python.exe", machine.tool_settings());
  RunResult run = machine.run("\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output << read_file(machine.calls);
  EXPECT_EQ(launched_from(machine.install_dir, 30000), n(machine.install_dir));

  // The second run: a nearly full disk, a changed script and a running start are all no matter.
  DeleteFileW((machine.install_dir + L"\\launched.txt").c_str());
  write_file(machine.install_dir + L"\\worker.py", "changed");
  delete_desktop_shortcut();
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"0";
  run = machine.run("\xD0\xBD\xD0\xB5\xD1\x82\r\n");  // Cyrillic "нет": declines
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto lines = lines_of(run.output);
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "===== 1/5  Program files =====");
  EXPECT_EQ(until_blank(lines_after(lines, "===== 2/5  Python =====")),
            std::vector<std::string>{"The Python environment already exists, skipping."});
  EXPECT_TRUE(read_file(machine.install_dir + L"\\worker.py") ==
              read_file(unix_path(COLLOQUOR_SOURCE_DIR "/worker/worker.py")));
  EXPECT_TRUE(contains_line(lines, "Desktop shortcut: Colloquor"));
  EXPECT_TRUE(read_desktop_shortcut().loaded);
  EXPECT_EQ(launched_from(machine.install_dir, 3000), "");
}

TEST(SetupRun, ABrokenEnvironmentIsCreatedAgainWithoutASpaceCheck) {
  Machine machine;
  const std::wstring python = machine.per_user_python();
  ASSERT_EQ(machine.run("n\r\n").exit_code, 0);
  // The environment's interpreter now fails the suitability test.
  write_file(machine.install_dir + L"\\venv\\Scripts\\tool.txt",
             machine.tool_settings("suitable=1\n"));
  DeleteFileW(machine.calls.c_str());
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"0";
  const RunResult run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto lines = lines_of(run.output);
  EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("Free space", 0) == 0; }));
  EXPECT_EQ(until_blank(lines_after(lines, "===== 2/5  Python =====")),
            (std::vector<std::string>{"Python: " + n(python), "Creating the venv environment..."}));
  const auto calls = machine.call_lines();
  ASSERT_GE(calls.size(), 3u);
  const std::string venv_python = n(machine.install_dir) + "\\venv\\Scripts\\python.exe";
  EXPECT_EQ(calls[0].substr(0, calls[0].find('|')), venv_python);  // tested first, and failed
  EXPECT_EQ(calls[1].substr(0, calls[1].find('|')), n(python));
  EXPECT_NE(calls[2].find("-m venv"), std::string::npos);
}

TEST(SetupRun, AnswersThatStartAndThatDecline) {
  Machine machine;
  machine.per_user_python();
  for (const char* answer : {"y\r\n", "j\r\n", " \r\n", "yes\r\n"}) {
    DeleteFileW((machine.install_dir + L"\\launched.txt").c_str());
    const RunResult run = machine.run(answer);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(launched_from(machine.install_dir, 30000), n(machine.install_dir)) << answer;
  }
  for (const char* answer : {"no\r\n", "N\r\n", "\xD0\x9D\r\n"}) {
    DeleteFileW((machine.install_dir + L"\\launched.txt").c_str());
    const RunResult run = machine.run(answer);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(launched_from(machine.install_dir, 3000), "") << answer;
  }
}

TEST(SetupRun, NvidiaCardsTakeTheFullListAndTheLargeModel) {
  Machine with_file;
  with_file.per_user_python();
  RunResult run;
  {
    SystemFolderFiles system;
    system.file(L"nvidia-smi.exe", "not a program: it is never run");
    run = with_file.run("n\r\n");
  }
  ASSERT_EQ(run.exit_code, 0) << run.output;
  auto lines = lines_of(run.output);
  EXPECT_TRUE(contains_line(
      lines, "NVIDIA video card found - installing everything, including the CUDA libraries."));
  EXPECT_TRUE(contains_line(
      lines, "Recognition: Whisper large-v3 (~3 GB), translation: NLLB-200 (~1.4 GB)."));
  EXPECT_FALSE(exists(with_file.install_dir + L"\\requirements-cpu.txt"));
  auto calls = with_file.call_lines();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_NE(
      calls[calls.size() - 2].find("-r \"" + n(with_file.install_dir) + "\\requirements.txt\""),
      std::string::npos);
  EXPECT_NE(calls.back().find("install_models.py\" --gpu"), std::string::npos);

  // Without the file, a tool on the search path decides by its exit code.
  for (int code : {0, 1}) {
    Machine on_path;
    on_path.per_user_python();
    place_tool(on_path.bin, L"nvidia-smi.exe",
               on_path.tool_settings("nvidia_exit=" + std::to_string(code)));
    run = on_path.run("n\r\n");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    lines = lines_of(run.output);
    EXPECT_EQ(contains_line(
                  lines,
                  "NVIDIA video card found - installing everything, including the CUDA libraries."),
              code == 0);
    calls = on_path.call_lines();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const std::string& c) {
      return c.find("nvidia-smi.exe|") != std::string::npos &&
             c.find("|nvidia-smi -L") != std::string::npos;
    }));
    EXPECT_EQ(calls.back().find("--gpu") != std::string::npos, code == 0);
  }
}

// ------------------------------------------------------------------------------------- failures

TEST(SetupFailures, PipAndModelFailuresStopWithTheirMessages) {
  Machine pip;
  pip.per_user_python("pip_exit=1\n");
  RunResult run = pip.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  auto lines = lines_of(run.output);
  EXPECT_TRUE(
      contains_line(lines, "ERROR: pip could not install the packages (see the messages above)."))
      << run.output;
  EXPECT_FALSE(contains_line(lines, "===== 4/5  Models ====="));
  EXPECT_EQ(lines.back(), "Press Enter to close this window...");

  Machine models;
  models.per_user_python("models_exit=3\n");
  run = models.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  lines = lines_of(run.output);
  EXPECT_TRUE(
      contains_line(lines, "ERROR: could not download the models (see the messages above)."))
      << run.output;
  EXPECT_FALSE(contains_line(lines, "===== 5/5  Done ====="));

  // A failed pip self-upgrade alone is no failure; here every pip call fails but the venv is made.
  Machine venv;
  venv.per_user_python("venv_exit=1\n");
  run = venv.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(contains_line(lines_of(run.output), "ERROR: could not create the venv."))
      << run.output;
  Machine no_interpreter;
  no_interpreter.per_user_python("venv_make=0\n");
  run = no_interpreter.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(contains_line(lines_of(run.output), "ERROR: could not create the venv."))
      << run.output;
}

TEST(SetupFailures, AFileInUseStopsTheProgramFilesStepAtItsRow) {
  Machine machine;
  make_folders(machine.install_dir);
  write_file(machine.install_dir + L"\\Parlivo.exe", "running");
  HANDLE running = CreateFileW((machine.install_dir + L"\\Parlivo.exe").c_str(), GENERIC_READ, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  RunResult run = machine.run("\r\n");
  CloseHandle(running);
  EXPECT_EQ(run.exit_code, 1);
  auto lines = lines_of(run.output);
  EXPECT_EQ(until_blank(lines_after(lines, "===== 1/5  Program files =====")),
            std::vector<std::string>{});
  EXPECT_TRUE(contains_line(
      lines, "ERROR: could not write Parlivo.exe (is the program running? close Parlivo.exe)"));
  EXPECT_FALSE(exists(machine.install_dir + L"\\worker.py"));

  write_file(machine.install_dir + L"\\worker.py", "held");
  HANDLE held = CreateFileW((machine.install_dir + L"\\worker.py").c_str(), GENERIC_READ, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  run = machine.run("\r\n");
  CloseHandle(held);
  lines = lines_of(run.output);
  EXPECT_EQ(until_blank(lines_after(lines, "===== 1/5  Program files =====")),
            std::vector<std::string>{"  Parlivo.exe"});
  EXPECT_TRUE(contains_line(
      lines, "ERROR: could not write worker.py (is the program running? close Parlivo.exe)"));
  EXPECT_TRUE(read_file(machine.install_dir + L"\\Parlivo.exe") ==
              read_file(unix_path(LAUNCH_PROBE_EXE)));
}

// ------------------------------------------------------------------------------------- Python

TEST(SetupPython, PackageRouteDownloadsUnpacksAndIsFoundFirstNextTime) {
  HttpServer server;
  server.add("/package", {std::string(300000, 'z'), true});
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_PACKAGE_URL"] = server.url("/package");
  SystemFolderFiles system;
  system.tool(L"tar.exe", machine.tool_settings());
  RunResult run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const std::string i = n(machine.install_dir);
  const std::string package_python = i + "\\python-pkg\\tools\\python.exe";
  const std::string step = run.output.substr(run.output.find("===== 2/5  Python =====\r\n") + 25);
  // How often the line is redrawn depends on how the bytes arrive; each drawing has its form.
  const std::regex expected_step(
      "No suitable Python \\(3\\.10\\+ with venv, ssl and pip\\) found on this PC\\.\r\n"
      "Downloading Python 3\\.12 \\(about 15 MB\\)\\.\\.\\.\r\n"
      "(\r  [0-9]{1,2}%  \\(0 / 0 MB\\)   )*\r  100%  \\(0 / 0 MB\\)   \r\n"
      "Unpacking\\.\\.\\.\r\n"
      "Python: [^\r]*\\\\python-pkg\\\\tools\\\\python\\.exe\r\n"
      "Creating the venv environment\\.\\.\\.");
  EXPECT_TRUE(std::regex_match(step.substr(0, step.find("\r\n\r\n===== 3/5")), expected_step))
      << step;
  EXPECT_TRUE(contains_line(lines_of(run.output), "Python: " + package_python));
  const std::string archive = n(machine.temp) + "\\colloquor-python.zip";
  EXPECT_FALSE(exists(machine.temp + L"\\colloquor-python.zip"));
  const auto calls = machine.call_lines();
  ASSERT_FALSE(calls.empty());
  const std::string unpack =
      "\\System32\\tar.exe\" -xf \"" + archive + "\" -C \"" + i + "\\python-pkg\"";
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const std::string& call) {
    return call.size() > unpack.size() &&
           call.compare(call.size() - unpack.size(), unpack.size(), unpack) == 0;
  })) << read_file(machine.calls);

  // Without the environment, the next run takes the unpacked interpreter and downloads nothing.
  const int requests = server.requests();
  machine.env[L"COLLOQUOR_TEST_FREE_BYTES"] = L"21474836480";
  DeleteFileW((machine.install_dir + L"\\venv\\Scripts\\python.exe").c_str());
  run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(contains_line(lines_of(run.output), "Python: " + package_python));
  EXPECT_EQ(server.requests(), requests);
}

TEST(SetupPython, UnpackedInterpreterThatFailsFallsBackToTheInstaller) {
  HttpServer server;
  server.add("/package", {"zip", true});
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_PACKAGE_URL"] = server.url("/package");
  SystemFolderFiles system;
  system.tool(L"tar.exe", machine.tool_settings());
  system.file(L"copy.txt", machine.tool_settings("suitable=1\n"));
  const RunResult run = machine.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  const auto lines = lines_of(run.output);
  EXPECT_TRUE(contains_line(
      lines,
      "The unpacked Python does not start (code 0). Trying the python.org installer instead."))
      << run.output;
  EXPECT_TRUE(
      contains_line(lines, "Downloading the Python installer from python.org (about 25 MB)..."));
  EXPECT_TRUE(contains_line(lines, "Could not download Python. Check your internet connection."));
  EXPECT_TRUE(contains_line(lines, "ERROR: could not set up Python."));
}

TEST(SetupPython, BothDownloadsFailing) {
  Machine machine;  // both addresses point at a port nobody listens on
  RunResult run;
  {
    SystemFolderFiles system;
    system.tool(L"tar.exe", machine.tool_settings());
    run = machine.run("\r\n");
  }
  EXPECT_EQ(run.exit_code, 1);
  std::string step = run.output.substr(run.output.find("===== 2/5  Python =====\r\n") + 25);
  EXPECT_EQ(step,
            std::string(
                "No suitable Python (3.10+ with venv, ssl and pip) found on this PC.\r\n"
                "Downloading Python 3.12 (about 15 MB)...\r\n\r\n"
                "Download failed. Trying the python.org installer instead.\r\n"
                "Downloading the Python installer from python.org (about 25 MB)...\r\n\r\n"
                "Could not download Python. Check your internet connection.\r\n"
                "Alternative: install Python 3.12 from https://www.python.org/downloads/ yourself, "
                "then run this installer again.\r\n\r\n"
                "ERROR: could not set up Python.\r\n") +
                kAgain + "\r\n\r\nPress Enter to close this window...");

  // Without tar.exe no package download is attempted.
  Machine no_tar;
  run = no_tar.run("\r\n");
  step = run.output.substr(run.output.find("===== 2/5  Python =====\r\n") + 25);
  EXPECT_EQ(step.substr(0, step.find("Could not")),
            "No suitable Python (3.10+ with venv, ssl and pip) found on this PC.\r\n"
            "Downloading the Python installer from python.org (about 25 MB)...\r\n\r\n");
}

TEST(SetupPython, OfficialInstallerRoute) {
  HttpServer server;
  server.add("/installer", {read_file(unix_path(INSTALLER_BUILD_DIR "/stand_in_tool.exe")), true});
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_INSTALLER_URL"] = server.url("/installer");
  // The downloaded installer reads its settings next to itself, in the temporary folder.
  write_file(machine.temp + L"\\tool.txt", machine.tool_settings());
  RunResult run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const std::string i = n(machine.install_dir);
  const std::string installed = n(machine.local) + "\\Programs\\Python\\Python312\\python.exe";
  auto lines = lines_of(run.output);
  EXPECT_TRUE(contains_line(lines, "Installing Python for the current user...")) << run.output;
  EXPECT_TRUE(contains_line(lines, "Python: " + installed));
  EXPECT_FALSE(exists(machine.temp + L"\\colloquor-python-setup.exe"));
  const std::string setup_exe = n(machine.temp) + "\\colloquor-python-setup.exe";
  const auto calls = machine.call_lines();
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.find("|\"" + setup_exe + "\" /quiet /log \"" + i +
                  "\\python-setup.log\" InstallAllUsers=0 PrependPath=0 "
                  "Include_launcher=0 Include_test=0 Include_doc=0 Include_tcltk=0 Shortcuts=0 "
                  "AssociateFiles=0") != std::string::npos;
  }));

  // An installer that leaves no interpreter.
  Machine empty;
  empty.env[L"COLLOQUOR_TEST_INSTALLER_URL"] = server.url("/installer");
  write_file(empty.temp + L"\\tool.txt",
             empty.tool_settings("installer_make=0\ninstaller_exit=1603\n"));
  run = empty.run("\r\n");
  EXPECT_EQ(run.exit_code, 1);
  lines = lines_of(run.output);
  EXPECT_TRUE(contains_line(
      lines, "Python setup exit code 1603. Log: " + n(empty.install_dir) + "\\python-setup.log"))
      << run.output;
  EXPECT_TRUE(contains_line(lines, "ERROR: could not set up Python."));
}

TEST(SetupPython, SearchOrderAndMachineRegistration) {
  Machine machine;
  // An unsuitable 3.13 under the program folder is tried and passed over; the one registered for
  // the machine is taken after every folder candidate.
  place_tool(machine.program_files + L"\\Python313", L"python.exe",
             machine.tool_settings("suitable=1\n"));
  const std::wstring registered =
      place_tool(machine.root + L"\\elsewhere", L"python.exe", machine.tool_settings());
  const wchar_t* key = L"Software\\Python\\PythonCore\\3.11\\InstallPath";
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"ExecutablePath", REG_SZ, registered.c_str(),
                            DWORD((registered.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  const RunResult run = machine.run("n\r\n");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Python\\PythonCore\\3.11");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(contains_line(lines_of(run.output), "Python: " + n(registered))) << run.output;
  const auto calls = machine.call_lines();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].substr(0, calls[0].find('|')),
            n(machine.program_files) + "\\Python313\\python.exe");
  EXPECT_EQ(calls[1].substr(0, calls[1].find('|')), n(registered));
}

TEST(SetupPython, AHangingProbeIsEndedAfterAMinuteAndCountsAsUnsuitable) {
  Machine machine;
  place_tool(machine.local + L"\\Programs\\Python\\Python313", L"python.exe",
             machine.tool_settings("suitable=hang\n"));
  const std::wstring python = machine.per_user_python();
  const ULONGLONG started = GetTickCount64();
  const RunResult run = machine.run("n\r\n");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(contains_line(lines_of(run.output), "Python: " + n(python))) << run.output;
  EXPECT_GE(GetTickCount64() - started, 59000u);
}

// ------------------------------------------------------------------------------------- console

// The installer in a console of its own, as when it is started from the desktop: the test attaches
// to that console, reads its screen and types into its input.
class ConsoleChild {
 public:
  bool start(const Machine& machine,
             const char* program = INSTALLER_BUILD_DIR "/setup_under_test.exe") {
    std::wstring environment = environment_block(machine.env);
    std::wstring command = L"\"" + unix_path(program) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                        nullptr, &startup, &process_)) {
      return false;
    }
    FreeConsole();
    bool attached = false;
    for (int i = 0; i < 100 && !attached; ++i) {
      attached = AttachConsole(process_.dwProcessId) != 0;
      if (!attached) Sleep(100);
    }
    if (!attached) return false;
    out_ = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
    in_ = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    return out_ != INVALID_HANDLE_VALUE && in_ != INVALID_HANDLE_VALUE;
  }

  ~ConsoleChild() {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process_.hProcess, 99);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    if (out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
    if (in_ != INVALID_HANDLE_VALUE) CloseHandle(in_);
    FreeConsole();
  }

  // The lines written so far, trailing blanks removed; a row filled to the last column continues
  // on the next row (the console wraps long lines).
  std::vector<std::string> screen() const {
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    std::vector<std::string> lines;
    if (!GetConsoleScreenBufferInfo(out_, &info)) return lines;
    std::wstring line;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
      std::wstring text(std::size_t(info.dwSize.X), L' ');
      DWORD got = 0;
      ReadConsoleOutputCharacterW(out_, text.data(), DWORD(text.size()), COORD{0, row}, &got);
      text.resize(got);
      const bool wrapped =
          got == DWORD(info.dwSize.X) && text.back() != L' ' && row < info.dwCursorPosition.Y;
      while (!text.empty() && (text.back() == L' ' || text.back() == L'\0')) text.pop_back();
      line += text;
      if (wrapped) continue;
      lines.push_back(narrow(line));
      line.clear();
    }
    return lines;
  }

  bool wait_for_line(const std::string& line, DWORD timeout_ms) const {
    for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
      if (contains_line(screen(), line)) return true;
      Sleep(100);
    }
    return false;
  }

  void type(const std::wstring& keys) {
    std::vector<INPUT_RECORD> records;
    for (wchar_t key : keys) {
      for (BOOL down : {TRUE, FALSE}) {
        INPUT_RECORD record = {};
        record.EventType = KEY_EVENT;
        record.Event.KeyEvent.bKeyDown = down;
        record.Event.KeyEvent.wRepeatCount = 1;
        record.Event.KeyEvent.wVirtualKeyCode = key == L'\r' ? VK_RETURN : 0;
        record.Event.KeyEvent.uChar.UnicodeChar = key;
        records.push_back(record);
      }
    }
    DWORD written = 0;
    WriteConsoleInputW(in_, records.data(), DWORD(records.size()), &written);
  }

  bool running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

  int wait_exit(DWORD timeout_ms) const {
    if (WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_TIMEOUT) return -100;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return int(code);
  }

  std::wstring title() const {
    wchar_t text[256] = {};
    GetConsoleTitleW(text, 256);
    return text;
  }

 private:
  PROCESS_INFORMATION process_ = {};
  HANDLE out_ = INVALID_HANDLE_VALUE;
  HANDLE in_ = INVALID_HANDLE_VALUE;
};

TEST(SetupConsole, KeysTypedDuringPipDoNotAnswerTheQuestion) {
  Machine machine;
  machine.per_user_python("pip_sleep_ms=1500\n");
  ConsoleChild console;
  ASSERT_TRUE(console.start(machine));
  ASSERT_TRUE(console.wait_for_line("===== 3/5  Python packages =====", 60000))
      << ::testing::PrintToString(console.screen());
  EXPECT_EQ(console.title(), L"Colloquor - setup");
  console.type(L"n\r");  // typed while pip runs: thrown away before the question is read
  ASSERT_TRUE(console.wait_for_line("Start Colloquor now? [Y/n]", 60000))
      << ::testing::PrintToString(console.screen());
  Sleep(1000);
  EXPECT_TRUE(console.running());
  console.type(L"\r");
  EXPECT_EQ(console.wait_exit(60000), 0);
  EXPECT_EQ(launched_from(machine.install_dir, 30000), n(machine.install_dir));

  const auto screen = console.screen();
  ASSERT_GE(screen.size(), 4u);
  EXPECT_EQ(screen[0], "Colloquor - setup");
  EXPECT_EQ(screen[1], "A folder picker opens now.");
  EXPECT_EQ(screen[2], "Install folder: " + n(machine.install_dir));
  EXPECT_TRUE(contains_line(screen, "  README.md"));
  EXPECT_TRUE(contains_line(screen, "Desktop shortcut: Colloquor"));
  EXPECT_TRUE(contains_line(screen, "The program is installed in " + n(machine.install_dir)));
}

TEST(SetupConsole, TheErrorExitWaitsForEnter) {
  Machine machine;
  machine.env[L"COLLOQUOR_TEST_FOLDER"] = L"<unset>";
  ConsoleChild console;
  ASSERT_TRUE(console.start(machine));
  ASSERT_TRUE(console.wait_for_line("Press Enter to close this window...", 60000))
      << ::testing::PrintToString(console.screen());
  Sleep(1000);
  EXPECT_TRUE(console.running());
  const auto screen = console.screen();
  EXPECT_EQ(screen, (std::vector<std::string>{"Colloquor - setup", "A folder picker opens now.", "",
                                              "ERROR: no folder was chosen.", kAgain, "",
                                              "Press Enter to close this window..."}));
  console.type(L"\r");
  EXPECT_EQ(console.wait_exit(60000), 1);
}

// ------------------------------------------------------------------------------------- shipped

// ColloquorSetup.exe itself, with its real folder picker, free-space query and payload. Python is a
// stand-in in the per-user folder, so nothing is downloaded, and the closing answer is no.
HWND wait_for_picker() {
  for (int i = 0; i < 600; ++i) {
    if (HWND dialog = FindWindowW(
            nullptr, L"Where to install Colloquor? (a folder named Colloquor is created)")) {
      return dialog;
    }
    Sleep(100);
  }
  return nullptr;
}

TEST(ShippedSetup, PickerCancelledEndsWithTheErrorExit) {
  Machine machine;
  ConsoleChild console;
  ASSERT_TRUE(console.start(machine, INSTALLER_BUILD_DIR "/ColloquorSetup.exe"));
  HWND dialog = wait_for_picker();
  ASSERT_NE(dialog, nullptr);
  wchar_t label[64] = {};
  GetWindowTextW(GetDlgItem(dialog, IDOK), label, 64);
  EXPECT_STREQ(label, L"Install here");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               LPARAM(GetDlgItem(dialog, IDCANCEL)));
  ASSERT_TRUE(console.wait_for_line("Press Enter to close this window...", 60000))
      << ::testing::PrintToString(console.screen());
  EXPECT_TRUE(contains_line(console.screen(), "ERROR: no folder was chosen."));
  console.type(L"\r");
  EXPECT_EQ(console.wait_exit(60000), 1);
}

TEST(ShippedSetup, InstallsIntoTheChosenFolderWithTheRealPayload) {
  Machine machine;
  const std::wstring python = machine.per_user_python();
  ConsoleChild console;
  ASSERT_TRUE(console.start(machine, INSTALLER_BUILD_DIR "/ColloquorSetup.exe"));
  HWND dialog = wait_for_picker();
  ASSERT_NE(dialog, nullptr);
  Sleep(500);
  // The folder typed into the name box with a trailing separator, in other letter case.
  SetWindowTextW(GetDlgItem(dialog, 1152), (machine.root + L"\\TARGET\\").c_str());
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), LPARAM(GetDlgItem(dialog, IDOK)));

  ASSERT_TRUE(
      console.wait_for_line("Install folder: " + n(machine.root) + "\\TARGET\\Colloquor", 60000) ||
      console.wait_for_line("Install folder: " + n(machine.install_dir), 1000))
      << ::testing::PrintToString(console.screen());
  ULARGE_INTEGER available = {};
  GetDiskFreeSpaceExW(machine.chosen.c_str(), &available, nullptr, nullptr);
  if ((available.QuadPart >> 30) < 8) {
    EXPECT_TRUE(console.wait_for_line(
        "ERROR: not enough free disk space on the target drive. Choose another folder "
        "and run the installer again.",
        60000));
    console.type(L"\r");
    EXPECT_EQ(console.wait_exit(60000), 1);
    return;
  }
  ASSERT_TRUE(console.wait_for_line("Start Colloquor now? [Y/n]", 120000))
      << ::testing::PrintToString(console.screen());
  console.type(L"n\r");
  EXPECT_EQ(console.wait_exit(60000), 0);
  const auto screen = console.screen();
  EXPECT_TRUE(contains_line(screen, "Python: " + n(python)));
  EXPECT_TRUE(contains_line(screen, "Desktop shortcut: Colloquor"));
  EXPECT_TRUE(read_file(machine.install_dir + L"\\Parlivo.exe") ==
              read_file(unix_path(PARLIVO_EXE)));
  EXPECT_TRUE(read_file(machine.install_dir + L"\\README.md") ==
              read_file(unix_path(COLLOQUOR_SOURCE_DIR "/resources/README.md")));
  // Windows file names ignore letter case; the link keeps the case the folder was typed in.
  EXPECT_EQ(lstrcmpiW(read_desktop_shortcut().path.c_str(),
                      (machine.install_dir + L"\\Parlivo.exe").c_str()),
            0);
}

}  // namespace
