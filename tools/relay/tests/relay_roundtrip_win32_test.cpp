// Parlivo's start of the worker through relay.exe, under Wine, reaching a real Linux program: the
// launcher (a Linux process started from here) runs tests/echo_worker.py with the Linux python.
// Checked: translated paths and variables, frames one way and lines the other, end of input, the
// job object ending the Linux worker, the port from relay.port, and a relay without port or
// launcher.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker_link/bootstrap_win32.h"
#include "worker_link/protocol.h"

#include "tests/support/win32_files.h"

namespace colloquor {
namespace {

using colloquor::test_support::own_folder;
using colloquor::test_support::read_file;

#define RELAY_WIDEN2(x) L##x
#define RELAY_WIDEN(x) RELAY_WIDEN2(x)
#define RELAY_SOURCE_DIR_W RELAY_WIDEN(RELAY_SOURCE_DIR)

std::string unix_name(const std::wstring& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (fn == nullptr) return {};
  char* name = fn(path.c_str());
  if (name == nullptr) return {};
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::wstring dos_name(const std::string& path) {
  using Fn = WCHAR*(CDECL*)(LPCSTR);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (fn == nullptr) return {};
  WCHAR* name = fn(path.c_str());
  if (name == nullptr) return {};
  std::wstring result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Reads lines until one starts with `last` (inclusive) or the output ends.
std::vector<std::string> read_lines_until(HANDLE output, const std::string& last,
                                          std::string& pending) {
  std::vector<std::string> lines;
  for (;;) {
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      if (lines.back().rfind(last, 0) == 0) return lines;
    }
    char chunk[4096];
    DWORD got = 0;
    if (!ReadFile(output, chunk, sizeof chunk, &got, nullptr) || got == 0) return lines;
    pending.append(chunk, got);
  }
}

bool output_ended(HANDLE output) {
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got > 0) {
  }
  return true;
}

class RelayRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"colloquor_relay_" + std::to_wstring(GetCurrentProcessId());
    program_ = root_ + L"\\Colloquor";
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW(program_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(dos_name(RELAY_SOURCE_DIR "/tests/echo_worker.py").c_str(),
                          (program_ + L"\\worker.py").c_str(), FALSE));
    const std::wstring relay = own_folder() + L"\\relay.exe";
    ASSERT_TRUE(exists(relay));
    WritePrivateProfileStringW(L"paths", L"python", relay.c_str(),
                               (program_ + L"\\settings.ini").c_str());
    SetEnvironmentVariableW(L"DICTATE_MODEL", L"tiny.en");
  }

  void TearDown() override {
    for (const wchar_t* file : {L"\\Colloquor\\worker.py", L"\\Colloquor\\settings.ini",
                                L"\\Colloquor\\worker.log", L"\\port", L"\\launcher.log"}) {
      DeleteFileW((root_ + file).c_str());
    }
    for (const wchar_t* folder : {L"\\Colloquor\\data", L"\\Colloquor", L""})
      RemoveDirectoryW((root_ + folder).c_str());
  }

  // Starts the Linux launcher for `sessions` connections and returns its port (0 on failure).
  int start_launcher(int sessions) {
    const std::wstring port_file = root_ + L"\\port";
    const std::string unix_port_file = unix_name(port_file);
    const std::string unix_log = unix_name(root_ + L"\\launcher.log");
    // Through the shell so that the launcher's output goes to a file rather than holding the
    // test's own output open after the test.
    std::wstring command =
        L"\"" + dos_name("/bin/sh") + L"\" -c \"exec '" + widen(RELAY_HOST_PYTHON) +
        L"' '" RELAY_SOURCE_DIR_W L"/launcher.py' --port-file '" + widen(unix_port_file) +
        L"' --max-sessions " + std::to_wstring(sessions) + L" --idle-exit 20 </dev/null >'" +
        widen(unix_log) + L"' 2>&1\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // A Linux program gets its arguments as they are (Linux paths) and no process handle from Wine;
    // the launcher ends by itself after its sessions.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 0;
    }
    for (int i = 0; i < 300 && !exists(port_file); ++i) Sleep(100);
    return std::atoi(read_file(port_file).c_str());
  }

  std::vector<LaunchedWorker> start_worker() {
    std::vector<LaunchedWorker> launched;
    BootstrapInputs inputs;
    inputs.program_folder = std::u16string(program_.begin(), program_.end());
    inputs.speaker_model = u"campp";
    BootstrapHooks hooks;
    hooks.post = [this](char kind, const std::u16string& text) {
      records_.push_back({kind, text});
    };
    hooks.hand_over = [&launched](LaunchedWorker& worker) {
      launched.push_back(std::move(worker));
    };
    run_bootstrap(inputs, hooks);
    return launched;
  }

  std::wstring root_, program_;
  std::vector<std::pair<char, std::u16string>> records_;
};

TEST_F(RelayRoundTripTest, WorkerOnTheLinuxSideTalksBothWaysAndEndsLikeOnWindows) {
  const int port = start_launcher(3);
  ASSERT_GT(port, 0);
  SetEnvironmentVariableW(L"COLLOQUOR_RELAY_PORT", std::to_wstring(port).c_str());

  // 1. Paths and variables arrive translated; frames go one way and lines come back.
  std::vector<LaunchedWorker> launched = start_worker();
  ASSERT_EQ(launched.size(), 1u);
  std::string pending;
  std::vector<std::string> lines =
      read_lines_until(launched[0].output_read.get(), "S\tdictate ", pending);
  const std::string data = unix_name(program_ + L"\\data");
  ASSERT_EQ(lines.size(), 8u) << "worker.log: " << read_file(program_ + L"\\worker.log")
                              << "launcher log: " << read_file(root_ + L"\\launcher.log");
  EXPECT_EQ(lines[1], "S\tscript " + unix_name(program_ + L"\\worker.py"));
  EXPECT_EQ(lines[3], "S\tcwd-is-root yes");  // lines[2] is the folder with links resolved
  EXPECT_EQ(lines[4], "S\troot " + data);
  EXPECT_EQ(lines[5], "S\tspeaker campp");
  EXPECT_EQ(lines[6], "S\ttranslation <unset>");
  EXPECT_EQ(lines[7], "S\tdictate tiny.en");

  std::string audio(3201, '\0');
  audio[0] = 1;  // channel, then every byte value in turn
  for (std::size_t i = 1; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 31 + 5);
  unsigned sum = 0;
  for (char c : audio) sum += static_cast<unsigned char>(c);
  sum %= 65536;
  std::string frames;
  for (int i = 0; i < 40; ++i)
    frames += encode_frame('A', audio.data(), std::uint32_t(audio.size()));
  frames += encode_frame('L', "en|ru|1|0|60", 12);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(launched[0].input_write.get(), frames.data(), DWORD(frames.size()),
                        &written, nullptr));
  lines = read_lines_until(launched[0].output_read.get(), "S\tframe L", pending);
  ASSERT_EQ(lines.size(), 41u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(lines[i], "S\tframe A 3201 " + std::to_string(sum)) << i;

  // 2. End of input reaches the Linux worker, which ends; so do the relay and its output.
  launched[0].input_write.reset();
  lines = read_lines_until(launched[0].output_read.get(), "S\teof", pending);
  EXPECT_EQ(lines, (std::vector<std::string>{"S\teof"}));
  EXPECT_TRUE(output_ended(launched[0].output_read.get()));
  ASSERT_EQ(WaitForSingleObject(launched[0].process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(launched[0].process.get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(read_file(program_ + L"\\worker.log"), "echo worker: started\n");
  launched.clear();

  // 3. Closing the job kills the relay, and the launcher ends the Linux worker with it.
  launched = start_worker();
  ASSERT_EQ(launched.size(), 1u);
  pending.clear();
  lines = read_lines_until(launched[0].output_read.get(), "S\tdictate ", pending);
  ASSERT_FALSE(lines.empty());
  ASSERT_EQ(lines[0].rfind("S\tpid ", 0), 0u);
  const std::wstring proc = dos_name("/proc/" + lines[0].substr(6));
  EXPECT_TRUE(exists(proc));
  launched[0].job.reset();
  EXPECT_TRUE(output_ended(launched[0].output_read.get()));
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i, Sleep(50)) gone = !exists(proc);
  EXPECT_TRUE(gone);
  launched.clear();

  // 4. A relay elsewhere finds the port in relay.port next to itself when the variable is absent.
  const std::wstring copy = root_ + L"\\relay_copy";
  CreateDirectoryW(copy.c_str(), nullptr);
  ASSERT_TRUE(
      CopyFileW((own_folder() + L"\\relay.exe").c_str(), (copy + L"\\relay.exe").c_str(), FALSE));
  const std::string port_text = std::to_string(port) + "\n";
  HANDLE file = CreateFileW((copy + L"\\relay.port").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  DWORD port_written = 0;
  WriteFile(file, port_text.data(), DWORD(port_text.size()), &port_written, nullptr);
  CloseHandle(file);
  WritePrivateProfileStringW(L"paths", L"python", (copy + L"\\relay.exe").c_str(),
                             (program_ + L"\\settings.ini").c_str());
  SetEnvironmentVariableW(L"COLLOQUOR_RELAY_PORT", nullptr);
  launched = start_worker();
  ASSERT_EQ(launched.size(), 1u);
  pending.clear();
  lines = read_lines_until(launched[0].output_read.get(), "S\tdictate ", pending);
  EXPECT_EQ(lines.size(), 8u);
  launched[0].input_write.reset();
  EXPECT_EQ(read_lines_until(launched[0].output_read.get(), "S\teof", pending),
            (std::vector<std::string>{"S\teof"}));
  EXPECT_TRUE(output_ended(launched[0].output_read.get()));
  launched.clear();

  // 5. Without a known port the relay says so in the log and ends at once.
  DeleteFileW((copy + L"\\relay.port").c_str());
  launched = start_worker();
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_TRUE(output_ended(launched[0].output_read.get()));
  EXPECT_EQ(
      read_file(program_ + L"\\worker.log"),
      "relay: no launcher port (set COLLOQUOR_RELAY_PORT or write relay.port next to relay.exe)\n");
  launched.clear();
  DeleteFileW((copy + L"\\relay.exe").c_str());
  RemoveDirectoryW(copy.c_str());

  // 6. Without a launcher the relay says so in the log and its output ends: the window sees "X".
  WritePrivateProfileStringW(L"paths", L"python", (own_folder() + L"\\relay.exe").c_str(),
                             (program_ + L"\\settings.ini").c_str());
  SetEnvironmentVariableW(L"COLLOQUOR_RELAY_PORT", std::to_wstring(port).c_str());
  Sleep(500);  // the launcher stops listening after its three sessions
  launched = start_worker();
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_TRUE(output_ended(launched[0].output_read.get()));
  ASSERT_EQ(WaitForSingleObject(launched[0].process.get(), 20000), WAIT_OBJECT_0);
  GetExitCodeProcess(launched[0].process.get(), &code);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(read_file(program_ + L"\\worker.log"),
            "relay: cannot connect to the launcher on 127.0.0.1:" + std::to_string(port) + "\n");
  launched.clear();

  for (const auto& record : records_) EXPECT_EQ(record.first, 'S');
}

}  // namespace
}  // namespace colloquor
