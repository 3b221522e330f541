// The download with its progress line, through the platform's URL download against a server on
// 127.0.0.1 (download_probe.exe prints exactly what the installer prints).
#include <gtest/gtest.h>

#include <regex>

#include "setup_harness.h"

namespace {

using namespace setup_test;

std::wstring probe_command(const std::wstring& url, const std::wstring& target) {
  return L"\"" + unix_path(INSTALLER_BUILD_DIR "/download_probe.exe") + L"\" \"" + url + L"\" \"" +
         target + L"\"";
}

std::string payload_of(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = char((i * 131 + i / 977) & 0xFF);
  return body;
}

TEST(DownloadWithProgress, AnnouncedSizeDrawsOneLinePerWholePercentAndEndsTheLine) {
  HttpServer server;
  const std::string body = payload_of(3 * 1048576 + 12345);
  server.add("/python.zip", {body, true});
  const std::wstring target = fresh_folder(L"download") + L"\\python.zip";
  const RunResult run = run_program(probe_command(server.url("/python.zip"), target), {}, "");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(read_file(target), body);

  // Every drawing starts with a carriage return; the last one is followed by the line end.
  ASSERT_GE(run.output.size(), 2u);
  EXPECT_EQ(run.output.substr(run.output.size() - 2), "\r\n");
  const std::string drawings = run.output.substr(0, run.output.size() - 2);
  const std::regex drawing("\r  (\\d+)%  \\((\\d+) / 3 MB\\)   ");
  int previous = -1;
  std::size_t consumed = 0;
  for (std::sregex_iterator it(drawings.begin(), drawings.end(), drawing), end; it != end; ++it) {
    EXPECT_EQ(std::size_t(it->position()), consumed) << "unexpected text in " << drawings;
    consumed = it->position() + it->length();
    const int percent = std::stoi((*it)[1]);
    EXPECT_GT(percent, previous) << "a percentage was drawn twice";
    EXPECT_LE(std::stoi((*it)[2]), 3);
    previous = percent;
  }
  EXPECT_EQ(consumed, drawings.size());
  EXPECT_EQ(previous, 100);
}

TEST(DownloadWithProgress, UnknownSizeDrawsNothingButTheLineEnd) {
  HttpServer server;
  const std::string body = payload_of(200000);
  server.add("/python.zip", {body, false});
  const std::wstring target = fresh_folder(L"download") + L"\\python.zip";
  const RunResult run = run_program(probe_command(server.url("/python.zip"), target), {}, "");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(read_file(target), body);
  EXPECT_EQ(run.output, "\r\n");
}

// Wine's URL download stores a 404 answer as the file and reports success, so a missing file on a
// live server is not a failure that can be shown here; an address with no server behind it is.
TEST(DownloadWithProgress, NoServerIsAFailureAndLeavesNoFile) {
  const std::wstring folder = fresh_folder(L"download");
  // Port 9 (discard) on the loopback address has no listener here.
  const RunResult run =
      run_program(probe_command(L"http://127.0.0.1:9/python.zip", folder + L"\\b.zip"), {}, "");
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_FALSE(exists(folder + L"\\b.zip"));
}

}  // namespace
