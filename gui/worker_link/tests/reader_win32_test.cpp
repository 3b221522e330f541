// The reader thread over real pipes: records posted to a real window, in order, "X" once at the
// end, also when the worker is killed mid-line.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "worker_link/reader_win32.h"

namespace colloquor {
namespace {

// Started as "<this test> --scripted-worker": prints three lines and half of a fourth, then waits
// to be killed. Runs before GoogleTest's main when the flag is present.
struct ScriptedWorker {
  ScriptedWorker() {
    if (std::wcsstr(GetCommandLineW(), L"--scripted-worker") == nullptr) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char text[] =
        "S\tLoading\nD\t10\tDownloading\nP\t0\t0\ten\thalf a sent\nF\t0\t0\ten\tnever ended";
    DWORD written = 0;
    WriteFile(out, text, sizeof(text) - 1, &written, nullptr);
    FlushFileBuffers(out);
    Sleep(INFINITE);
  }
} scripted_worker;

std::vector<std::unique_ptr<WorkerLine>>* collected = nullptr;

LRESULT CALLBACK collector_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_WORKER_LINE) {
    std::unique_ptr<WorkerLine> line = take_worker_line(lparam);
    if (collected != nullptr) collected->push_back(std::move(line));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW cls{};
    cls.lpfnWndProc = collector_proc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"ReaderTestCollector";
    RegisterClassW(&cls);
    window_ = CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              cls.hInstance, nullptr);
    ASSERT_NE(window_, nullptr);
    collected = &lines_;
    ASSERT_TRUE(CreatePipe(&read_end_, &write_end_, nullptr, 0));
  }
  void TearDown() override {
    if (reader_.joinable()) reader_.join();
    collected = nullptr;
    if (window_ != nullptr) DestroyWindow(window_);
    if (read_end_ != nullptr) CloseHandle(read_end_);
    if (write_end_ != nullptr) CloseHandle(write_end_);
  }

  void start() { reader_ = std::thread(run_reader, window_, read_end_); }
  void write(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(write_end_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }
  void close_writer() {
    CloseHandle(write_end_);
    write_end_ = nullptr;
  }
  // Pumps messages until an "X" record arrives (or 20 s pass).
  void pump_until_end() {
    const DWORD deadline = GetTickCount() + 20000;
    while (lines_.empty() || lines_.back()->kind != 'X') {
      if (GetTickCount() > deadline) FAIL() << "no X record";
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
  }
  std::vector<char> kinds() const {
    std::vector<char> out;
    for (const auto& line : lines_) out.push_back(line->kind);
    return out;
  }

  HWND window_ = nullptr;
  HANDLE read_end_ = nullptr;
  HANDLE write_end_ = nullptr;
  std::thread reader_;
  std::vector<std::unique_ptr<WorkerLine>> lines_;
};

TEST_F(ReaderTest, LinesArriveInOrderAndXComesOnceAtTheEnd) {
  start();
  write("S\tLoading the recognizer\nP\t1\t2\ten\tHel");
  Sleep(30);
  write("lo\nD\t-1\t\n");
  write("K\t0\tnllb13\tNLLB 1.3B\t2700\t1\nZ\t\nS\ttrailing bytes without LF");
  close_writer();
  pump_until_end();
  reader_.join();

  ASSERT_EQ(kinds(), (std::vector<char>{'S', 'P', 'D', 'K', 'Z', 'X'}));
  EXPECT_EQ(lines_[0]->text, u"Loading the recognizer");
  EXPECT_EQ(lines_[1]->channel, 1);
  EXPECT_EQ(lines_[1]->number, 2);
  EXPECT_EQ(lines_[1]->language, "en");
  EXPECT_EQ(lines_[1]->text, u"Hello");
  EXPECT_EQ(lines_[2]->number, -1);
  EXPECT_EQ(lines_[3]->text, u"0\tnllb13\tNLLB 1.3B\t2700\t1");
  EXPECT_TRUE(lines_[4]->text.empty());
  const WorkerLine& end = *lines_[5];
  EXPECT_EQ(end.channel, 0);
  EXPECT_EQ(end.number, 0);
  EXPECT_TRUE(end.language.empty());
  EXPECT_TRUE(end.text.empty());
}

TEST_F(ReaderTest, AnImmediateEndGivesOnlyX) {
  start();
  close_writer();
  pump_until_end();
  EXPECT_EQ(kinds(), std::vector<char>{'X'});
}

TEST_F(ReaderTest, LongLinesAndReadsLongerThanOneChunk) {
  start();
  const std::string long_text(10000, 'a');
  std::string burst;
  for (int i = 0; i < 3; ++i) burst += "F\t0\t1\tuk\t" + long_text + "\n";
  write(burst.substr(0, 5000));
  write(burst.substr(5000));
  close_writer();
  pump_until_end();
  ASSERT_EQ(kinds(), (std::vector<char>{'F', 'F', 'F', 'X'}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lines_[i]->text.size(), long_text.size());
}

TEST_F(ReaderTest, AFullWindowQueueDelaysTheReaderInsteadOfLosingLines) {
  // The window does not pump while the reader posts far more than a queue holds.
  constexpr int kLines = 25000;
  std::thread writer([this] {
    std::string burst;
    for (int i = 0; i < kLines; ++i) burst += "S\t" + std::to_string(i) + "\n";
    write(burst);
    close_writer();
  });
  start();
  Sleep(1500);
  pump_until_end();
  writer.join();
  ASSERT_EQ(lines_.size(), static_cast<std::size_t>(kLines + 1));
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(
        lines_[i]->text, std::u16string(u"") + [&] {
          std::u16string s;
          for (char c : std::to_string(i)) s += static_cast<char16_t>(c);
          return s;
        }());
  }
}

TEST_F(ReaderTest, AGoneWindowMakesTheReaderDiscardItsRecordsAndEnd) {
  DestroyWindow(window_);
  window_ = nullptr;
  start();
  write("S\tnobody listens\nS\tstill nobody\n");
  close_writer();
  reader_.join();  // returns: posts to a missing window neither block nor crash
  EXPECT_TRUE(lines_.empty());
}

TEST_F(ReaderTest, AKilledWorkerGivesItsCompleteLinesThenOneX) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE child_out_read = nullptr, child_out_write = nullptr;
  ASSERT_TRUE(CreatePipe(&child_out_read, &child_out_write, &inherit, 0));
  SetHandleInformation(child_out_read, HANDLE_FLAG_INHERIT, 0);

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --scripted-worker";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = child_out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &process));
  CloseHandle(child_out_write);  // only the worker holds the write end, so its death ends the read

  reader_ = std::thread(run_reader, window_, child_out_read);
  const DWORD deadline = GetTickCount() + 20000;
  while (lines_.size() < 3 && GetTickCount() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  ASSERT_EQ(lines_.size(), 3u);
  TerminateProcess(process.hProcess, 1);
  pump_until_end();
  reader_.join();
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(child_out_read);

  ASSERT_EQ(kinds(), (std::vector<char>{'S', 'D', 'P', 'X'}));
  EXPECT_EQ(lines_[2]->text, u"half a sent");
}

TEST_F(ReaderTest, PostWorkerLineHandsTheRecordToTheWindow) {
  auto* status = new WorkerLine;
  status->kind = 'E';
  status->text = u"Python could not be started.";
  EXPECT_TRUE(post_worker_line(window_, status));
  auto* lost = new WorkerLine;
  lost->kind = 'S';
  EXPECT_FALSE(post_worker_line(nullptr, lost));  // no window: deleted, reported as not posted
  MSG stray;
  EXPECT_FALSE(PeekMessageW(&stray, reinterpret_cast<HWND>(-1), WM_WORKER_LINE, WM_WORKER_LINE,
                            PM_NOREMOVE));  // and not left in this thread's own queue
  auto* end = new WorkerLine;
  end->kind = 'X';
  post_worker_line(window_, end);
  pump_until_end();
  ASSERT_EQ(kinds(), (std::vector<char>{'E', 'X'}));
  EXPECT_EQ(lines_[0]->text, u"Python could not be started.");
}

TEST_F(ReaderTest, TheProcessWideReaderThreadRunsOnceAndDetaches) {
  EXPECT_TRUE(start_reader(window_, read_end_));
  EXPECT_FALSE(start_reader(window_, read_end_));  // once per run
  write("S\tfrom the reader thread\n");
  close_writer();
  pump_until_end();
  detach_reader_thread();
  detach_reader_thread();
  ASSERT_EQ(kinds(), (std::vector<char>{'S', 'X'}));
}

}  // namespace
}  // namespace colloquor
