#include "installer/setup_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace colloquor::setup {
namespace {

TEST(InstallFolderRule, AppendsTheFolderNameUnlessTheChoiceAlreadyCarriesIt) {
  EXPECT_EQ(install_dir_for(u"D:\\"), u"D:\\Colloquor");
  EXPECT_EQ(install_dir_for(u"D:"), u"D:\\Colloquor");
  EXPECT_EQ(install_dir_for(u"C:\\Apps\\COLLOQUOR\\"), u"C:\\Apps\\COLLOQUOR");
  EXPECT_EQ(install_dir_for(u"C:\\Apps\\colloquor//\\"), u"C:\\Apps\\colloquor");
  EXPECT_EQ(install_dir_for(u"C:/Apps/Colloquor"), u"C:/Apps/Colloquor");
  EXPECT_EQ(install_dir_for(u"C:\\Users\\Ann\\Programs"), u"C:\\Users\\Ann\\Programs\\Colloquor");
  // Only the whole last component counts.
  EXPECT_EQ(install_dir_for(u"C:\\Colloquor2"), u"C:\\Colloquor2\\Colloquor");
  EXPECT_EQ(install_dir_for(u"C:\\Colloquor\\sub"), u"C:\\Colloquor\\sub\\Colloquor");
  EXPECT_EQ(install_dir_for(u"C:\\xColloquor"), u"C:\\xColloquor\\Colloquor");
}

TEST(InstallFolderRule, ASecondRunWithEitherChoiceLandsInTheSameFolder) {
  const std::u16string first = install_dir_for(u"E:\\Tools");
  EXPECT_EQ(install_dir_for(first), first);
  EXPECT_EQ(install_dir_for(first + u"\\"), first);
  EXPECT_EQ(venv_python_for(first), u"E:\\Tools\\Colloquor\\venv\\Scripts\\python.exe");
}

TEST(InstallFolderRule, NonAsciiLettersAreNotFolded) {
  // Cyrillic "С" looks like Latin "C" but is another letter.
  EXPECT_EQ(install_dir_for(u"D:\\\u0421olloquor"), u"D:\\\u0421olloquor\\Colloquor");
  EXPECT_TRUE(equal_ignoring_case(u"cOlLoQuOr", u"Colloquor"));
  EXPECT_FALSE(equal_ignoring_case(u"Colloquo", u"Colloquor"));
}

TEST(FreeSpace, EightGibibytesIsTheBoundary) {
  EXPECT_EQ(free_space_line(8589934592ull),
            u"Free space on the target drive: 8 GB (about 8 GB are needed).");
  EXPECT_TRUE(enough_free_space(8589934592ull));
  EXPECT_EQ(free_space_line(8589934591ull),
            u"Free space on the target drive: 7 GB (about 8 GB are needed).");
  EXPECT_FALSE(enough_free_space(8589934591ull));
  EXPECT_EQ(free_space_line(0), u"Free space on the target drive: 0 GB (about 8 GB are needed).");
  EXPECT_EQ(free_space_line(~std::uint64_t{0}),
            u"Free space on the target drive: 17179869183 GB (about 8 GB are needed).");
}

TEST(ComLine, NamesTheErrorInHexAndWhatMayNotWork) {
  EXPECT_EQ(com_unavailable_line(0x8007000Eu),
            u"Could not initialise COM (error 0x8007000E): the folder picker and the desktop "
            u"shortcut may "
            u"not work.");
}

TEST(ProgressLine, DrawsOncePerWholePercentWithTruncatedMebibytes) {
  std::uint32_t last = kNoPercentShown;
  std::u16string text;
  const std::uint32_t total = 15 * 1048576 + 524288;  // 15.5 MiB
  ASSERT_TRUE(progress_text(last, 0, total, text));
  EXPECT_EQ(text, u"\r  0%  (0 / 15 MB)   ");
  EXPECT_FALSE(progress_text(last, 1000, total, text));          // still 0 %
  ASSERT_TRUE(progress_text(last, total / 2 - 1, total, text));  // 49.99 % is 49
  EXPECT_EQ(text, u"\r  49%  (7 / 15 MB)   ");
  EXPECT_EQ(last, 49u);
  ASSERT_TRUE(progress_text(last, total, total, text));
  EXPECT_EQ(text, u"\r  100%  (15 / 15 MB)   ");
  EXPECT_FALSE(progress_text(last, total, total, text));
}

TEST(ProgressLine, NoTotalDrawsNothingAndLargeCountsDoNotOverflow) {
  std::uint32_t last = kNoPercentShown;
  std::u16string text = u"untouched";
  EXPECT_FALSE(progress_text(last, 5000, 0, text));
  EXPECT_EQ(text, u"untouched");
  EXPECT_EQ(last, kNoPercentShown);
  // 32-bit products would wrap here; the arithmetic is 64-bit.
  ASSERT_TRUE(progress_text(last, 0xF0000000u, 0xFFFFFFFFu, text));
  EXPECT_EQ(text, u"\r  93%  (3840 / 4095 MB)   ");
  // A server that sends more than it announced still gives a readable line.
  ASSERT_TRUE(progress_text(last, 300, 100, text));
  EXPECT_EQ(text, u"\r  300%  (0 / 0 MB)   ");
}

std::string filter(const std::string& source) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::fwrite(source.data(), 1, source.size(), in);
  std::rewind(in);
  filter_cpu_requirements(in, out);
  std::rewind(out);
  std::string result;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) result.push_back(char(c));
  std::fclose(in);
  std::fclose(out);
  return result;
}

TEST(CpuRequirements, DropsOnlyLinesThatBeginWithNvidia) {
  EXPECT_EQ(filter("numpy\r\nnvidia-cublas-cu12\r\nNVIDIA-x\nNvidia\r\n  nvidia-indented\r\n"
                   "# CUDA for nvidia cards\r\nlast-without-end"),
            "numpy\r\n  nvidia-indented\r\n# CUDA for nvidia cards\r\nlast-without-end");
  EXPECT_EQ(filter("nvidia"), "");
  EXPECT_EQ(filter("nvidi\n"), "nvidi\n");
  EXPECT_EQ(filter(""), "");
  EXPECT_EQ(filter(std::string("a\0b\r\nnvidia\0x\r\n", 12)), std::string("a\0b\r\n", 5));
}

TEST(CpuRequirements, LongLinesAreJudgedPieceByPiece) {
  const std::string keep_head = "keep" + std::string(kRequirementPieceBytes - 4, 'x');
  const std::string nvidia_tail = "nvidia-tail\n";
  EXPECT_EQ(filter(keep_head + nvidia_tail + "ok\n"), keep_head + "ok\n");
  const std::string nvidia_head = "nvidia" + std::string(kRequirementPieceBytes - 6, 'y');
  EXPECT_EQ(filter(nvidia_head + "rest\n"), "rest\n");
}

TEST(CpuRequirements, TheShippedListLosesExactlyTheTwoCudaLines) {
  std::FILE* in = std::fopen(COLLOQUOR_SOURCE_DIR "/worker/requirements.txt", "rb");
  ASSERT_NE(in, nullptr);
  std::string source;
  for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) source.push_back(char(c));
  std::fclose(in);
  const std::string result = filter(source);
  EXPECT_EQ(result.find("nvidia-cublas-cu12"), std::string::npos);
  EXPECT_EQ(result.find("nvidia-cudnn-cu12"), std::string::npos);
  EXPECT_NE(result.find("# CUDA 12 runtime libraries for GPU inference"), std::string::npos);
  EXPECT_NE(result.find("sherpa-onnx>=1.12"), std::string::npos);
  std::size_t source_lines = 0, result_lines = 0;
  for (char c : source) source_lines += c == '\n';
  for (char c : result) result_lines += c == '\n';
  EXPECT_EQ(source_lines - result_lines, 2u);
}

TEST(ClosingQuestion, OnlyNoInEitherAlphabetDeclines) {
  for (char16_t c : {u'N', u'n', u'\u041D', u'\u043D'})
    EXPECT_TRUE(answer_declines_start(c)) << int(c);
  for (char16_t c : {u'Y', u'y', u'j', u' ', u'\0', u'\r', u'\u0414', u'\u0418'}) {
    EXPECT_FALSE(answer_declines_start(c)) << int(c);
  }
}

TEST(CommandLines, AreQuotedAsTheChildrenExpect) {
  EXPECT_EQ(suitability_command(u"C:\\P y\\python.exe"),
            u"\"C:\\P y\\python.exe\" -c \"import sys, ssl, venv, ensurepip, sqlite3; "
            u"sys.exit(0 if (3, 10) <= sys.version_info[:2] <= (3, 13) else 1)\"");
  EXPECT_EQ(venv_command(u"python", u"D:\\Colloquor\\venv"),
            u"\"python\" -m venv \"D:\\Colloquor\\venv\"");
  EXPECT_EQ(pip_upgrade_command(u"V"),
            u"\"V\" -m pip install --disable-pip-version-check --upgrade pip");
  EXPECT_EQ(pip_install_command(u"V", u"D:\\C\\requirements-cpu.txt"),
            u"\"V\" -m pip install --disable-pip-version-check -r \"D:\\C\\requirements-cpu.txt\"");
  EXPECT_EQ(models_command(u"V", u"D:\\C", false), u"\"V\" -u \"D:\\C\\install_models.py\"");
  EXPECT_EQ(models_command(u"V", u"D:\\C", true), u"\"V\" -u \"D:\\C\\install_models.py\" --gpu");
  EXPECT_EQ(
      unpack_command(u"C:\\W\\System32\\tar.exe", u"\\colloquor-python.zip", u"D:\\C\\python-pkg"),
      u"\"C:\\W\\System32\\tar.exe\" -xf \"\\colloquor-python.zip\" -C \"D:\\C\\python-pkg\"");
  EXPECT_EQ(
      python_installer_command(u"T\\setup.exe", u"D:\\C\\python-setup.log"),
      u"\"T\\setup.exe\" /quiet /log \"D:\\C\\python-setup.log\" InstallAllUsers=0 PrependPath=0 "
      u"Include_launcher=0 Include_test=0 Include_doc=0 Include_tcltk=0 Shortcuts=0 "
      u"AssociateFiles=0");
  EXPECT_EQ(decimal(-1), u"-1");
  EXPECT_EQ(quoted(u""), u"\"\"");
}

TEST(PythonSearch, CandidatesComeInTheFixedOrder) {
  PythonSearchPlaces places;
  places.install_dir = u"D:\\Colloquor";
  places.local_app_data = u"L";
  places.program_files = u"P";
  places.registered_paths = {u"", u"HKCU312", u"", u"", u"", u"", u"", u"HKLM310"};
  const auto candidates = python_candidates(places);
  const std::vector<std::u16string> expected = {u"D:\\Colloquor\\python-pkg\\tools\\python.exe",
                                                u"D:\\Colloquor\\python\\python.exe",
                                                u"L\\Programs\\Python\\Python313\\python.exe",
                                                u"P\\Python313\\python.exe",
                                                u"L\\Programs\\Python\\Python312\\python.exe",
                                                u"P\\Python312\\python.exe",
                                                u"L\\Programs\\Python\\Python311\\python.exe",
                                                u"P\\Python311\\python.exe",
                                                u"L\\Programs\\Python\\Python310\\python.exe",
                                                u"P\\Python310\\python.exe",
                                                u"HKCU312",
                                                u"HKLM310"};
  EXPECT_EQ(candidates, expected);
}

TEST(PythonSearch, UnsetFoldersAddNoCandidates) {
  PythonSearchPlaces places;
  places.install_dir = u"X";
  places.program_files = u"P";
  const auto candidates = python_candidates(places);
  ASSERT_EQ(candidates.size(), 6u);
  EXPECT_EQ(candidates[2], u"P\\Python313\\python.exe");
  EXPECT_EQ(python_registry_key(u"3.12"), u"Software\\Python\\PythonCore\\3.12\\InstallPath");
}

TEST(Payload, SixFilesInWritingOrder) {
  ASSERT_EQ(std::size(kPayloadFiles), 6u);
  EXPECT_EQ(std::u16string(kPayloadFiles[0].file_name), u"Parlivo.exe");
  EXPECT_EQ(std::u16string(kPayloadFiles[1].resource), u"F_WORKER");
  EXPECT_EQ(std::u16string(kPayloadFiles[5].resource), u"F_README");
}

}  // namespace
}  // namespace colloquor::setup
