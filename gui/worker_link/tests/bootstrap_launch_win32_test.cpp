// The whole start as the window runs it: bootstrap_worker on its own thread posts its statuses to a
// real window, hands the pipes to send_frame and the reader, and keeps the job for the window. (One
// test per program: the frame writer takes its worker input once per process.)
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "worker_link/bootstrap_win32.h"
#include "worker_link/frame_writer.h"
#include "worker_link/reader_win32.h"
#include "worker_link/worker_line.h"

#include "tests/support/win32_files.h"

namespace colloquor {
namespace {

using colloquor::test_support::own_folder;

struct Received {
  char kind;
  std::u16string text;
};
std::vector<Received> g_received;

LRESULT CALLBACK collect(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_WORKER_LINE) {
    const std::unique_ptr<WorkerLine> line = take_worker_line(lparam);
    if (line) g_received.push_back({line->kind, line->text});
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// Pumps this thread's messages until a record of `kind` with `text` arrives or the time is up.
bool wait_for(char kind, const std::u16string& text, DWORD limit_ms = 20000) {
  const ULONGLONG until = GetTickCount64() + limit_ms;
  std::size_t seen = 0;
  while (GetTickCount64() < until) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    for (; seen < g_received.size(); ++seen) {
      if (g_received[seen].kind == kind && g_received[seen].text == text) return true;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  }
  return false;
}

TEST(BootstrapLaunchTest, WorkerStartsTalksThroughSendFrameAndTheReaderAndEnds) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring program =
      std::wstring(temp) + L"colloquor_launch_" + std::to_wstring(GetCurrentProcessId());
  for (const std::wstring& folder : {program, program + L"\\venv", program + L"\\venv\\Scripts"}) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  ASSERT_TRUE(CopyFileW((own_folder() + L"\\" + STAND_IN_PYTHON_EXE).c_str(),
                        (program + L"\\venv\\Scripts\\python.exe").c_str(), FALSE));

  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = collect;
  window_class.lpszClassName = L"BootstrapLaunchTest";
  RegisterClassW(&window_class);
  HWND window = CreateWindowW(L"BootstrapLaunchTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              nullptr, nullptr);
  ASSERT_NE(window, nullptr);

  EXPECT_EQ(worker_job(), nullptr);
  set_bootstrap_inputs(
      {window, std::u16string(program.begin(), program.end()), u"campp", u"nllb13", {}});
  std::thread bootstrap(bootstrap_worker);

  ASSERT_TRUE(wait_for(kLineStatus, u"stand-in ready"));
  bootstrap.join();
  ASSERT_GE(g_received.size(), 2u);
  EXPECT_EQ(g_received[0].kind, kLineStatus);
  EXPECT_EQ(g_received[0].text, kStatusStartingRecognizer);
  EXPECT_TRUE(worker_input_ready());
  EXPECT_NE(worker_job(), nullptr);
  const PROCESS_INFORMATION process = worker_process_information();
  EXPECT_NE(process.dwProcessId, 0u);

  const std::string options = "en|ru|1|0|60";
  send_frame('L', options.data(), std::uint32_t(options.size()));
  EXPECT_TRUE(wait_for(kLineStatus, u"frame L 12"));
  send_frame('Q', nullptr, 0);
  EXPECT_TRUE(wait_for(kLineStatus, u"quit"));
  EXPECT_TRUE(wait_for(kLineOutputEnded, u""));
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);

  close_worker_job();
  EXPECT_EQ(worker_job(), nullptr);
  close_worker_job();  // a second close changes nothing
  detach_reader_thread();
  DestroyWindow(window);
  for (const wchar_t* file :
       {L"\\venv\\Scripts\\python.exe", L"\\data\\worker_report.txt", L"\\worker.log"}) {
    DeleteFileW((program + file).c_str());
  }
  for (const wchar_t* folder : {L"\\venv\\Scripts", L"\\venv", L"\\data", L""}) {
    RemoveDirectoryW((program + folder).c_str());
  }
}

}  // namespace
}  // namespace colloquor
