#include "installer/setup_rules.h"

namespace colloquor::setup {

PythonSources official_python_sources() {
  return {u"https://www.nuget.org/api/v2/package/python/3.12.10",
          u"https://www.python.org/ftp/python/3.12.10/python-3.12.10-amd64.exe",
          u"https://www.python.org/downloads/", u"python.org"};
}

std::u16string ascii16(const char* text) {
  std::u16string out;
  for (; *text != '\0'; ++text) out.push_back(char16_t(static_cast<unsigned char>(*text)));
  return out;
}

std::u16string unsigned_decimal(std::uint64_t value) {
  return ascii16(std::to_string(value).c_str());
}

std::u16string decimal(std::int64_t value) { return ascii16(std::to_string(value).c_str()); }

std::u16string quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

namespace {

char16_t fold_ascii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; }

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

bool equal_ignoring_case(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
  }
  return true;
}

std::u16string install_dir_for(std::u16string chosen) {
  while (!chosen.empty() && is_separator(chosen.back())) chosen.pop_back();
  const std::size_t cut = chosen.find_last_of(u"\\/");
  const std::u16string last = cut == std::u16string::npos ? chosen : chosen.substr(cut + 1);
  if (!equal_ignoring_case(last, kFolderName)) {
    chosen.push_back(u'\\');
    chosen.append(kFolderName);
  }
  return chosen;
}

std::u16string venv_python_for(const std::u16string& install_dir) {
  return install_dir + u"\\venv\\Scripts\\python.exe";
}

std::u16string com_unavailable_line(std::uint32_t result) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::u16string hex;
  for (int shift = 28; shift >= 0; shift -= 4) hex += char16_t(kDigits[(result >> shift) & 0xF]);
  return u"Could not initialise COM (error 0x" + hex +
         u"): the folder picker and the desktop shortcut may not work.";
}

std::u16string free_space_line(std::uint64_t available_bytes) {
  return u"Free space on the target drive: " + unsigned_decimal(available_bytes >> 30) +
         u" GB (about 8 GB are needed).";
}

bool enough_free_space(std::uint64_t available_bytes) {
  return available_bytes >= kNeededFreeBytes;
}

bool progress_text(std::uint32_t& last_percent, std::uint32_t progress, std::uint32_t progress_max,
                   std::u16string& text) {
  if (progress_max == 0) return false;
  const auto percent = static_cast<std::uint32_t>(std::uint64_t{progress} * 100 / progress_max);
  if (percent == last_percent) return false;
  last_percent = percent;
  text = u"\r  " + unsigned_decimal(percent) + u"%  (" + unsigned_decimal(progress >> 20) + u" / " +
         unsigned_decimal(progress_max >> 20) + u" MB)   ";
  return true;
}

bool piece_is_nvidia_line(const std::string& piece) {
  static constexpr char kWord[] = "nvidia";
  if (piece.size() < sizeof kWord - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kWord; ++i) {
    char c = piece[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != kWord[i]) return false;
  }
  return true;
}

void filter_cpu_requirements(std::FILE* source, std::FILE* target) {
  // Read byte by byte rather than with fgets so that a NUL inside a line cannot cut it short.
  std::string piece;
  auto flush_piece = [&] {
    if (!piece.empty() && !piece_is_nvidia_line(piece))
      std::fwrite(piece.data(), 1, piece.size(), target);
    piece.clear();
  };
  for (int c = std::fgetc(source); c != EOF; c = std::fgetc(source)) {
    piece.push_back(char(c));
    if (c == '\n' || piece.size() == kRequirementPieceBytes) flush_piece();
  }
  flush_piece();
}

bool answer_declines_start(char16_t first) {
  return first == u'N' || first == u'n' || first == u'\u041D' || first == u'\u043D';
}

std::u16string suitability_command(const std::u16string& python) {
  return quoted(python) + u" -c " + quoted(kSuitabilityProgram);
}

std::u16string venv_command(const std::u16string& base_python,
                            const std::u16string& environment_folder) {
  return quoted(base_python) + u" -m venv " + quoted(environment_folder);
}

std::u16string pip_upgrade_command(const std::u16string& venv_python) {
  return quoted(venv_python) + u" -m pip install --disable-pip-version-check --upgrade pip";
}

std::u16string pip_install_command(const std::u16string& venv_python, const std::u16string& list) {
  return quoted(venv_python) + u" -m pip install --disable-pip-version-check -r " + quoted(list);
}

std::u16string models_command(const std::u16string& venv_python, const std::u16string& install_dir,
                              bool nvidia_found) {
  std::u16string command =
      quoted(venv_python) + u" -u " + quoted(install_dir + u"\\install_models.py");
  if (nvidia_found) command += u" --gpu";
  return command;
}

std::u16string unpack_command(const std::u16string& unpacker, const std::u16string& archive,
                              const std::u16string& folder) {
  return quoted(unpacker) + u" -xf " + quoted(archive) + u" -C " + quoted(folder);
}

std::u16string python_installer_command(const std::u16string& installer,
                                        const std::u16string& log) {
  return quoted(installer) + u" /quiet /log " + quoted(log) +
         u" InstallAllUsers=0 PrependPath=0 Include_launcher=0 Include_test=0 Include_doc=0"
         u" Include_tcltk=0 Shortcuts=0 AssociateFiles=0";
}

std::u16string python_registry_key(const char16_t* version) {
  return u"Software\\Python\\PythonCore\\" + std::u16string(version) + u"\\InstallPath";
}

std::vector<std::u16string> python_candidates(const PythonSearchPlaces& places) {
  std::vector<std::u16string> candidates;
  candidates.push_back(places.install_dir + u"\\python-pkg\\tools\\python.exe");
  candidates.push_back(places.install_dir + u"\\python\\python.exe");
  for (const char16_t* tag : kFolderTags) {
    if (!places.local_app_data.empty()) {
      candidates.push_back(places.local_app_data + u"\\Programs\\Python\\Python" + tag +
                           u"\\python.exe");
    }
    if (!places.program_files.empty()) {
      candidates.push_back(places.program_files + u"\\Python" + tag + u"\\python.exe");
    }
  }
  for (const std::u16string& registered : places.registered_paths) {
    if (!registered.empty()) candidates.push_back(registered);
  }
  return candidates;
}

}  // namespace colloquor::setup
