// The bootstrap's portable rules: file layout, provisioning decision, interpreter order, command
// lines, signs of life and the environment handed to the worker.
#include "worker_link/bootstrap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace colloquor {
namespace {

TEST(WorkerPathsTest, EverythingLivesNextToTheProgram) {
  WorkerPaths paths = worker_paths(u"C:\\Apps\\Colloquor");
  EXPECT_EQ(paths.settings_file, u"C:\\Apps\\Colloquor\\settings.ini");
  EXPECT_EQ(paths.environment_folder, u"C:\\Apps\\Colloquor\\venv");
  EXPECT_EQ(paths.environment_interpreter, u"C:\\Apps\\Colloquor\\venv\\Scripts\\python.exe");
  EXPECT_EQ(paths.worker_script, u"C:\\Apps\\Colloquor\\worker.py");
  EXPECT_EQ(paths.log_file, u"C:\\Apps\\Colloquor\\worker.log");
  EXPECT_EQ(paths.default_data_root, u"C:\\Apps\\Colloquor\\data");

  EXPECT_EQ(choose_data_root(paths, u""), u"C:\\Apps\\Colloquor\\data");
  EXPECT_EQ(choose_data_root(paths, u"D:\\models"), u"D:\\models");
}

TEST(WorkerPathsTest, ProvisioningOnlyWithoutSettingAndWithoutEnvironment) {
  EXPECT_TRUE(needs_provisioning(u"", false));
  EXPECT_FALSE(needs_provisioning(u"", true));
  EXPECT_FALSE(needs_provisioning(u"C:\\py\\python.exe", false));
  EXPECT_FALSE(needs_provisioning(u"C:\\py\\python.exe", true));
}

TEST(WorkerPathsTest, InterpreterPrefersSettingThenEnvironmentThenSearchPath) {
  WorkerPaths paths = worker_paths(u"C:\\P");
  EXPECT_EQ(choose_interpreter(paths, u"C:\\py\\python.exe", true), u"C:\\py\\python.exe");
  EXPECT_EQ(choose_interpreter(paths, u"", true), u"C:\\P\\venv\\Scripts\\python.exe");
  EXPECT_EQ(choose_interpreter(paths, u"", false), u"python");
}

TEST(CommandLineTest, ArgumentsAreQuotedSoTheyReadBackWhole) {
  EXPECT_EQ(quote_argument(u"C:\\Program Files\\Python312\\python.exe"),
            u"\"C:\\Program Files\\Python312\\python.exe\"");
  EXPECT_EQ(quote_argument(u"python"), u"\"python\"");
  EXPECT_EQ(quote_argument(u""), u"\"\"");
  // A trailing backslash must not escape the closing quote.
  EXPECT_EQ(quote_argument(u"C:\\data\\"), u"\"C:\\data\\\\\"");
  // Backslashes elsewhere stay single; an embedded quote is escaped with its backslash run doubled.
  EXPECT_EQ(quote_argument(u"a\\\\b"), u"\"a\\\\b\"");
  EXPECT_EQ(quote_argument(u"say \"hi\""), u"\"say \\\"hi\\\"\"");
  EXPECT_EQ(quote_argument(u"x\\\"y"), u"\"x\\\\\\\"y\"");
}

TEST(CommandLineTest, TheThreeCommandLines) {
  EXPECT_EQ(version_test_command(u"python"),
            u"\"python\" -c \"import sys; sys.exit(0 if sys.version_info >= (3, 10) else 1)\"");
  EXPECT_EQ(environment_command(u"C:\\Py\\python.exe", u"C:\\App\\venv"),
            u"\"C:\\Py\\python.exe\" -m venv \"C:\\App\\venv\"");
  EXPECT_EQ(worker_command(u"C:\\App\\venv\\Scripts\\python.exe", u"C:\\App\\worker.py"),
            u"\"C:\\App\\venv\\Scripts\\python.exe\" -u \"C:\\App\\worker.py\"");
  EXPECT_EQ(std::u16string(kWingetInstallCommand),
            u"winget install -e --id Python.Python.3.12 --silent --accept-package-agreements "
            u"--accept-source-agreements");
}

TEST(CandidatesTest, BareNamesThenPerUserThenMachineWideNewestFirst) {
  std::vector<std::u16string> candidates = python_candidates(
      std::u16string(u"C:\\Users\\u\\AppData\\Local"), std::u16string(u"C:\\Program Files"));
  std::vector<std::u16string> expected = {
      u"python",
      u"python3",
      u"C:\\Users\\u\\AppData\\Local\\Programs\\Python\\Python313\\python.exe",
      u"C:\\Users\\u\\AppData\\Local\\Programs\\Python\\Python312\\python.exe",
      u"C:\\Users\\u\\AppData\\Local\\Programs\\Python\\Python311\\python.exe",
      u"C:\\Users\\u\\AppData\\Local\\Programs\\Python\\Python310\\python.exe",
      u"C:\\Program Files\\Python313\\python.exe",
      u"C:\\Program Files\\Python312\\python.exe",
      u"C:\\Program Files\\Python311\\python.exe",
      u"C:\\Program Files\\Python310\\python.exe",
  };
  EXPECT_EQ(candidates, expected);
}

TEST(CandidatesTest, AbsentVariablesAddNoCandidates) {
  EXPECT_EQ(python_candidates(std::nullopt, std::nullopt),
            (std::vector<std::u16string>{u"python", u"python3"}));
  std::vector<std::u16string> machine_only =
      python_candidates(std::nullopt, std::u16string(u"D:\\PF"));
  ASSERT_EQ(machine_only.size(), 6u);
  EXPECT_EQ(machine_only[2], u"D:\\PF\\Python313\\python.exe");
  EXPECT_EQ(machine_only[5], u"D:\\PF\\Python310\\python.exe");
}

TEST(CandidatesTest, OnlyCandidatesWithABackslashAreFilePaths) {
  EXPECT_FALSE(is_path_candidate(u"python"));
  EXPECT_FALSE(is_path_candidate(u"python3"));
  EXPECT_TRUE(is_path_candidate(u"C:\\Python312\\python.exe"));
}

TEST(SignOfLifeTest, OncePerFiveSecondsWithinTheFirstSlice) {
  const std::u16string label = kLabelCreatingEnvironment;
  EXPECT_EQ(sign_of_life(label, 5003), label + u" 5 s elapsed...");
  EXPECT_EQ(sign_of_life(label, 5999), label + u" 5 s elapsed...");
  EXPECT_EQ(sign_of_life(label, 10012), label + u" 10 s elapsed...");
  EXPECT_EQ(sign_of_life(label, 600400), label + u" 600 s elapsed...");
  EXPECT_FALSE(sign_of_life(label, 1002));
  EXPECT_FALSE(sign_of_life(label, 4999));
  EXPECT_FALSE(sign_of_life(label, 6000));
  EXPECT_FALSE(sign_of_life(u"", 5003));  // no label, no sign of life
}

TEST(TextsTest, PythonRequiredTextNamesTheDownloadSiteAndThePathOption) {
  EXPECT_EQ(
      python_required_text(),
      u"Python 3.10+ is required. Install it from https://www.python.org/downloads/ (tick \"Add "
      u"python.exe to PATH\") and start the app again.");
  EXPECT_EQ(std::u16string(kErrorCouldNotStartPython),
            u"Could not start Python. Run setup.ps1 or set [paths] python= in settings.ini.");
  EXPECT_EQ(std::u16string(kErrorEnvironmentFailed),
            u"Could not create the Python environment (venv folder next to the program).");
  EXPECT_EQ(worker_outside_job_text(5),
            u"The recognizer could not be tied to this window (job object error 5): it may keep "
            u"running after Colloquor is closed.");
}

// An environment block as the system hands it out: sorted, with the per-drive "=C:" entries first.
const char16_t kBlock[] =
    u"=C:=C:\\work\0DICTATE_MODEL=tiny.en\0dictation_root=C:\\old\0Path=C:\\windows\0"
    u"Speaker_Model=campp\0TEMP=C:\\tmp\0";

std::vector<std::u16string> block_entries() {
  return split_environment_block(kBlock, sizeof kBlock / 2);
}

TEST(EnvironmentTest, BlockSplitsIntoEntriesAndStopsAtTheEmptyOne) {
  std::vector<std::u16string> entries = block_entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0], u"=C:=C:\\work");
  EXPECT_EQ(entries[5], u"TEMP=C:\\tmp");
  EXPECT_EQ(environment_entry_name(entries[0]), u"=C:");
  EXPECT_EQ(environment_entry_name(entries[3]), u"Path");
  EXPECT_EQ(environment_entry_name(u"NOVALUE"), u"NOVALUE");

  // A block cut short without its final NUL is read up to its length, not beyond.
  const char16_t cut[] = {u'A', u'=', u'1', u'\0', u'B', u'=', u'2'};
  EXPECT_EQ(split_environment_block(cut, 7), (std::vector<std::u16string>{u"A=1", u"B=2"}));
  EXPECT_TRUE(split_environment_block(nullptr, 10).empty());
}

TEST(EnvironmentTest, WorkerVariablesReplaceOthersOfAnyCaseAndEmptyIdsAreRemoved) {
  std::vector<std::u16string> entries = apply_environment_changes(
      block_entries(), worker_environment_changes(u"D:\\data", u"", u"nllb33"));
  std::vector<std::u16string> expected = {
      u"=C:=C:\\work",     u"DICTATE_MODEL=tiny.en", u"DICTATION_ROOT=D:\\data",
      u"Path=C:\\windows", u"TEMP=C:\\tmp",          u"TRANSLATION_MODEL=nllb33",
  };
  EXPECT_EQ(entries, expected);

  entries = apply_environment_changes(block_entries(),
                                      worker_environment_changes(u"D:\\data", u"resnet34", u""));
  EXPECT_NE(std::find(entries.begin(), entries.end(), u"SPEAKER_MODEL=resnet34"), entries.end());
  EXPECT_EQ(
      std::count_if(entries.begin(), entries.end(),
                    [](const std::u16string& e) { return e.rfind(u"TRANSLATION_MODEL", 0) == 0; }),
      0);
}

TEST(EnvironmentTest, JoinedBlockEndsWithTwoNulsAndSkipsEmptyEntries) {
  std::u16string block = join_environment_block({u"A=1", u"", u"B=2"});
  EXPECT_EQ(block, std::u16string(u"A=1\0B=2\0\0", 9));
  EXPECT_EQ(join_environment_block({}), std::u16string(u"\0\0", 2));
  // Splitting what was joined gives the entries back.
  EXPECT_EQ(split_environment_block(block.data(), block.size()),
            (std::vector<std::u16string>{u"A=1", u"B=2"}));
}

}  // namespace
}  // namespace colloquor
