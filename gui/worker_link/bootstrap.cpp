#include "worker_link/bootstrap.h"

#include <algorithm>
#include <array>

namespace colloquor {
namespace {

char16_t ascii_upper(char16_t c) {
  return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

bool name_less(std::u16string_view a, std::u16string_view b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char16_t x, char16_t y) { return ascii_upper(x) < ascii_upper(y); });
}

std::u16string decimal(std::uint64_t value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

constexpr std::array<const char16_t*, 4> kPythonVersions = {u"313", u"312", u"311", u"310"};

}  // namespace

std::u16string python_required_text() {
  std::u16string text = u"Python 3.10+ is required. Install it from ";
  text += kPythonDownloadSite;
  text += u" (tick \"Add python.exe to PATH\") and start the app again.";
  return text;
}

std::u16string worker_outside_job_text(std::uint32_t error) {
  return u"The recognizer could not be tied to this window (job object error " + decimal(error) +
         u"): it may keep running after Colloquor is closed.";
}

std::u16string join_notices(const std::vector<std::u16string>& notices) {
  std::u16string text;
  for (const std::u16string& notice : notices) {
    if (!text.empty()) text += u' ';
    text += notice;
  }
  return text;
}

WorkerPaths worker_paths(std::u16string_view program_folder) {
  const std::u16string folder(program_folder);
  WorkerPaths paths;
  paths.settings_file = folder + u"\\settings.ini";
  paths.environment_folder = folder + u"\\venv";
  paths.environment_interpreter = folder + u"\\venv\\Scripts\\python.exe";
  paths.worker_script = folder + u"\\worker.py";
  paths.log_file = folder + u"\\worker.log";
  paths.default_data_root = folder + u"\\data";
  return paths;
}

std::u16string choose_data_root(const WorkerPaths& paths, std::u16string_view root_setting) {
  if (!root_setting.empty()) return std::u16string(root_setting);
  return paths.default_data_root;
}

bool needs_provisioning(std::u16string_view python_setting, bool environment_interpreter_exists) {
  return python_setting.empty() && !environment_interpreter_exists;
}

std::u16string choose_interpreter(const WorkerPaths& paths, std::u16string_view python_setting,
                                  bool environment_interpreter_exists) {
  if (!python_setting.empty()) return std::u16string(python_setting);
  if (environment_interpreter_exists) return paths.environment_interpreter;
  return u"python";
}

std::u16string quote_argument(std::u16string_view argument) {
  std::u16string quoted = u"\"";
  std::size_t backslashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      quoted.append(backslashes * 2 + 1, u'\\');
    } else {
      quoted.append(backslashes, u'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, u'\\');
  quoted.push_back(u'"');
  return quoted;
}

std::u16string version_test_command(std::u16string_view candidate) {
  return quote_argument(candidate) + u" -c " + quote_argument(kVersionTestProgram);
}

std::u16string environment_command(std::u16string_view python, std::u16string_view folder) {
  return quote_argument(python) + u" -m venv " + quote_argument(folder);
}

std::u16string worker_command(std::u16string_view interpreter, std::u16string_view script) {
  return quote_argument(interpreter) + u" -u " + quote_argument(script);
}

std::vector<std::u16string> python_candidates(const std::optional<std::u16string>& local_app_data,
                                              const std::optional<std::u16string>& program_files) {
  std::vector<std::u16string> candidates = {u"python", u"python3"};
  if (local_app_data) {
    for (const char16_t* version : kPythonVersions) {
      candidates.push_back(*local_app_data + u"\\Programs\\Python\\Python" + version +
                           u"\\python.exe");
    }
  }
  if (program_files) {
    for (const char16_t* version : kPythonVersions) {
      candidates.push_back(*program_files + u"\\Python" + version + u"\\python.exe");
    }
  }
  return candidates;
}

bool is_path_candidate(std::u16string_view candidate) {
  return candidate.find(u'\\') != std::u16string_view::npos;
}

std::optional<std::u16string> sign_of_life(std::u16string_view label, std::uint64_t elapsed_ms) {
  if (label.empty()) return std::nullopt;
  if (elapsed_ms % kSignOfLifePeriodMs >= kWaitSliceMs) return std::nullopt;
  return std::u16string(label) + u" " + decimal(elapsed_ms / 1000) + u" s elapsed...";
}

std::vector<EnvironmentChange> worker_environment_changes(std::u16string_view data_root,
                                                          std::u16string_view speaker_model,
                                                          std::u16string_view translation_model) {
  auto set_or_remove = [](const char16_t* name, std::u16string_view value) {
    EnvironmentChange change{name, std::nullopt};
    if (!value.empty()) change.value = std::u16string(value);
    return change;
  };
  return {
      EnvironmentChange{kEnvDataRoot, std::u16string(data_root)},
      set_or_remove(kEnvSpeakerModel, speaker_model),
      set_or_remove(kEnvTranslationModel, translation_model),
  };
}

std::vector<std::u16string> split_environment_block(const char16_t* block, std::size_t length) {
  std::vector<std::u16string> entries;
  if (block == nullptr) return entries;
  std::size_t start = 0;
  while (start < length && block[start] != u'\0') {
    std::size_t end = start;
    while (end < length && block[end] != u'\0') ++end;
    entries.emplace_back(block + start, end - start);
    start = end + 1;
  }
  return entries;
}

std::u16string_view environment_entry_name(std::u16string_view entry) {
  // A leading "=" belongs to the name (the per-drive current folders "=C:=C:\dir").
  std::size_t equals = entry.find(u'=', entry.empty() ? 0 : 1);
  if (equals == std::u16string_view::npos) return entry;
  return entry.substr(0, equals);
}

std::vector<std::u16string> apply_environment_changes(
    std::vector<std::u16string> entries, const std::vector<EnvironmentChange>& changes) {
  for (const EnvironmentChange& change : changes) {
    std::erase_if(entries, [&](const std::u16string& entry) {
      return same_name(environment_entry_name(entry), change.name);
    });
    if (change.value) entries.push_back(change.name + u"=" + *change.value);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::u16string& a, const std::u16string& b) {
                     return name_less(environment_entry_name(a), environment_entry_name(b));
                   });
  return entries;
}

std::u16string join_environment_block(const std::vector<std::u16string>& entries) {
  std::u16string block;
  for (const std::u16string& entry : entries) {
    if (entry.empty()) continue;  // an empty entry would end the block early
    block += entry;
    block.push_back(u'\0');
  }
  if (block.empty()) block.push_back(u'\0');  // an empty block still needs two NULs
  block.push_back(u'\0');
  return block;
}

}  // namespace colloquor
