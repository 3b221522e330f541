// The installer's decisions that need no operating system: the install folder rule, the free-space
// rule, the progress line, the CPU package list, the answer to the closing question, the command
// lines of the child processes and the places searched for a Python interpreter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace colloquor::setup {

// The folder that holds the installation is always named this (compared without letter case).
inline constexpr char16_t kFolderName[] = u"Colloquor";

// Roughly what the environment, the packages and the models take on disk.
inline constexpr std::uint64_t kNeededFreeBytes = std::uint64_t{1} << 33;

// Set before each download: no real percentage reaches it, so the first one is always drawn.
inline constexpr std::uint32_t kNoPercentShown = 101;

// Lines of the source list are judged in pieces of at most this many bytes.
inline constexpr std::size_t kRequirementPieceBytes = 1023;

struct PayloadFile {
  const char16_t* resource;
  const char16_t* file_name;
};

// Writing order of step 1.
inline constexpr PayloadFile kPayloadFiles[] = {
    {u"F_EXE", u"Parlivo.exe"},          {u"F_WORKER", u"worker.py"},
    {u"F_DLPROG", u"dl_progress.py"},    {u"F_REQ", u"requirements.txt"},
    {u"F_MODELS", u"install_models.py"}, {u"F_README", u"README.md"},
};

inline constexpr char16_t kSuitabilityProgram[] =
    u"import sys, ssl, venv, ensurepip, sqlite3; "
    u"sys.exit(0 if (3, 10) <= sys.version_info[:2] <= (3, 13) else 1)";

// Where the interpreter, the official installer and the help page come from.
struct PythonSources {
  std::u16string package_url;
  std::u16string installer_url;
  std::u16string downloads_page;
  std::u16string site_label;
};
PythonSources official_python_sources();

// Text helpers.
std::u16string ascii16(const char* text);
std::u16string decimal(std::int64_t value);
std::u16string unsigned_decimal(std::uint64_t value);
std::u16string quoted(const std::u16string& text);
// ASCII letters compared without case; the folder name has no other letters to fold.
bool equal_ignoring_case(const std::u16string& a, const std::u16string& b);

// The chosen folder itself when it is named Colloquor, otherwise a Colloquor folder inside it;
// trailing separators are dropped first.
std::u16string install_dir_for(std::u16string chosen);
std::u16string venv_python_for(const std::u16string& install_dir);

// Printed when COM cannot be set up (`result`, the HRESULT); the run goes on.
std::u16string com_unavailable_line(std::uint32_t result);

std::u16string free_space_line(std::uint64_t available_bytes);
bool enough_free_space(std::uint64_t available_bytes);

// Returns true and fills `text` when the progress line must be drawn (again).
bool progress_text(std::uint32_t& last_percent, std::uint32_t progress, std::uint32_t progress_max,
                   std::u16string& text);

// Copies `source` to `target` without the lines that begin with "nvidia" in any letter case.
void filter_cpu_requirements(std::FILE* source, std::FILE* target);
bool piece_is_nvidia_line(const std::string& piece);

// "N", "n" and the Cyrillic en decline the start; everything else, Enter alone too, accepts.
bool answer_declines_start(char16_t first);

// Child command lines.
std::u16string suitability_command(const std::u16string& python);
std::u16string venv_command(const std::u16string& base_python,
                            const std::u16string& environment_folder);
std::u16string pip_upgrade_command(const std::u16string& venv_python);
std::u16string pip_install_command(const std::u16string& venv_python, const std::u16string& list);
std::u16string models_command(const std::u16string& venv_python, const std::u16string& install_dir,
                              bool nvidia_found);
std::u16string unpack_command(const std::u16string& unpacker, const std::u16string& archive,
                              const std::u16string& folder);
std::u16string python_installer_command(const std::u16string& installer, const std::u16string& log);

// Interpreter search.
inline constexpr const char16_t* kFolderTags[] = {u"313", u"312", u"311", u"310"};
inline constexpr const char16_t* kRegistryVersions[] = {u"3.13", u"3.12", u"3.11", u"3.10"};
std::u16string python_registry_key(const char16_t* version);

struct PythonSearchPlaces {
  std::u16string install_dir;
  std::u16string local_app_data;  // empty when unset
  std::u16string program_files;   // empty when unset
  // "ExecutablePath" values of the current user's, then the machine's, registrations, in the
  // order of kRegistryVersions; empty where nothing is registered.
  std::vector<std::u16string> registered_paths;
};
std::vector<std::u16string> python_candidates(const PythonSearchPlaces& places);

}  // namespace colloquor::setup
