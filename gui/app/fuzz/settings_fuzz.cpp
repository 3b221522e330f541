// settings.ini as users and editors leave it: UTF-16 with or without a byte-order mark, UTF-8,
// ANSI, binary, huge. The profile functions that read the file are the system's; this target reads
// the input the way they do (encoding by byte-order mark, [section], key=value, first key wins,
// blanks and one pair of quotes trimmed) and hands the values to the program's own rules. Every
// value read must lie in its range, what is saved must read back unchanged, and the worker's
// command line built from the "paths" section must split back into the same arguments.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/settings.h"
#include "tests/support/fuzz_checks.h"
#include "worker_link/bootstrap.h"
#include "worker_link/line_parser.h"

using namespace colloquor;

namespace {

using Section = std::map<std::u16string, std::u16string>;
using Profile = std::map<std::u16string, Section>;

char16_t lower(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit + (u'a' - u'A') : unit; }

std::u16string lowered(std::u16string text) {
  for (char16_t& unit : text) unit = lower(unit);
  return text;
}

std::u16string trimmed(std::u16string_view text) {
  const auto blank = [](char16_t unit) { return unit == u' ' || unit == u'\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::u16string(text);
}

// By byte-order mark; without one, text whose second byte is zero is taken for UTF-16 (as the
// system's guess does for ASCII text), anything else byte by byte.
std::u16string decode(std::string_view bytes) {
  std::u16string text;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const auto utf16 = [&](std::size_t from, bool little) {
    for (std::size_t i = from; i + 1 < bytes.size(); i += 2) {
      text +=
          static_cast<char16_t>(little ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1));
    }
  };
  if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
    utf16(2, true);
  } else if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
    utf16(2, false);
  } else if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    text = utf8_to_utf16(bytes.substr(3));
  } else if (bytes.size() >= 2 && byte(0) != 0 && byte(1) == 0) {
    utf16(0, true);
  } else {
    for (std::size_t i = 0; i < bytes.size(); ++i) text += static_cast<char16_t>(byte(i));
  }
  return text.substr(0, text.find(u'\0'));
}

Profile parse_profile(std::u16string_view text) {
  Profile profile;
  Section* section = nullptr;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(u"\r\n", start);
    if (end == std::u16string_view::npos) end = text.size();
    const std::u16string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == u'[') {
      const std::size_t close = line.find(u']');
      section =
          &profile[lowered(trimmed(line.substr(1, close == line.npos ? line.npos : close - 1)))];
      continue;
    }
    const std::size_t equals = line.find(u'=');
    if (section == nullptr || equals == std::u16string::npos) continue;
    std::u16string value = trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    section->emplace(lowered(trimmed(line.substr(0, equals))), value);
  }
  return profile;
}

// What GetPrivateProfileIntW and GetPrivateProfileStringW answer from one section. A text longer
// than the buffer comes back whole when `cut_texts` is off, as another source might hand it over.
class SectionSource final : public SettingsSource {
 public:
  SectionSource(const Section& section, bool cut_texts) : section_(section), cut_(cut_texts) {}

  std::int32_t integer(std::u16string_view key, std::int32_t fallback) const override {
    const auto found = section_.find(lowered(std::u16string(key)));
    return found == section_.end() ? fallback : decimal_prefix(found->second);
  }
  std::u16string text(std::u16string_view key, std::size_t capacity) const override {
    const auto found = section_.find(lowered(std::u16string(key)));
    if (found == section_.end()) return {};
    return cut_ ? found->second.substr(0, capacity - 1) : found->second;
  }

 private:
  const Section& section_;
  bool cut_;
};

Section section_of(const std::vector<SettingsEntry>& entries) {
  Section section;
  for (const SettingsEntry& entry : entries) section[lowered(entry.key)] = entry.value;
  return section;
}

bool same(const AppSettings& a, const AppSettings& b) {
  return a.src == b.src && a.tgt == b.tgt && a.gain == b.gain && a.nsv == b.nsv && a.ns == b.ns &&
         a.agc == b.agc && a.boost == b.boost && a.sysdev == b.sysdev && a.spkmodel == b.spkmodel &&
         a.trmodel == b.trmodel && a.micon == b.micon && a.sys == b.sys && a.rev == b.rev &&
         a.echo == b.echo && a.diar == b.diar && a.sens2 == b.sens2 && a.mic == b.mic;
}

void check_ranges(const AppSettings& s) {
  FUZZ_CHECK(s.src >= 0 && s.src <= 8 && s.tgt >= 0 && s.tgt <= 8);
  FUZZ_CHECK(s.gain >= -10 && s.gain <= 30);
  FUZZ_CHECK(s.nsv >= 0 && s.nsv <= 100 && s.sens2 >= 0 && s.sens2 <= 100);
  FUZZ_CHECK(s.sysdev.size() < kSysdevChars && s.mic.size() < kMicrophoneChars);
  FUZZ_CHECK(s.spkmodel.size() < kModelIdChars && s.trmodel.size() < kModelIdChars);
}

// The usual argument rules of the C runtime: blanks separate, quotes group, 2n backslashes before
// a quote are n backslashes, 2n+1 are n and a literal quote.
std::vector<std::u16string> split_command_line(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i == line.size()) return arguments;
    std::u16string argument;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t')); ++i) {
      if (line[i] == u'\\') {
        std::size_t run = 0;
        while (i < line.size() && line[i] == u'\\') ++run, ++i;
        if (i < line.size() && line[i] == u'"') {
          argument.append(run / 2, u'\\');
          if (run % 2 == 0) {
            --i;  // the quote opens or closes a group
            continue;
          }
          argument += u'"';
        } else {
          argument.append(run, u'\\');
          --i;
        }
      } else if (line[i] == u'"') {
        quoted = !quoted;
      } else {
        argument += line[i];
      }
    }
    arguments.push_back(argument);
  }
}

void check_worker_command(const Section& paths_section, std::uint32_t seed) {
  static const std::u16string kFolders[] = {u"C:\\Program Files\\Colloquor",
                                            u"D:\\Мой \"проект\" 1.", u"\\\\server\\share\\c\\"};
  const WorkerPaths paths = worker_paths(kFolders[seed % 3]);
  const SectionSource source(paths_section, true);
  const std::u16string python = source.text(kPathsPythonKey, kPathBufferChars);
  const std::u16string root = source.text(kPathsRootKey, kPathBufferChars);
  FUZZ_CHECK(!choose_data_root(paths, root).empty());
  const std::u16string interpreter = choose_interpreter(paths, python, seed & 2);
  FUZZ_CHECK(!interpreter.empty());
  const std::vector<std::u16string> expected = {interpreter, u"-u", paths.worker_script};
  FUZZ_CHECK(split_command_line(worker_command(interpreter, paths.worker_script)) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::uint32_t seed = 2166136261u;
  for (std::uint8_t byte : bytes) seed = (seed ^ byte) * 16777619u;

  Profile profile = parse_profile(decode(bytes));
  const Section& app = profile[u"app"];
  const AppSettings stored = read_app_settings(SectionSource(app, seed & 1));
  check_ranges(stored);

  // What save_settings writes reads back as the same choices, and writes the same again.
  const std::vector<SettingsEntry> saved = settings_entries(stored);
  const Section written = section_of(saved);
  const AppSettings again = read_app_settings(SectionSource(written, true));
  FUZZ_CHECK(same(again, stored));
  for (const SettingsEntry& entry : saved) FUZZ_CHECK(!entry.key.empty());

  // The version rule: an outdated file keeps its language choices and is current afterwards.
  const SectionSource source(app, true);
  const bool current = settings_file_current(true, source.integer(kVersionKey, 0));
  FUZZ_CHECK(current == (app.count(u"v") && decimal_prefix(app.at(u"v")) == kSettingsVersion));
  const std::int32_t old_src = source.integer(u"src", -1);
  const std::int32_t old_tgt = source.integer(u"tgt", -1);
  const Section replaced = section_of(replacement_entries(old_src, old_tgt));
  const SectionSource fresh(replaced, true);
  FUZZ_CHECK(settings_file_current(true, fresh.integer(kVersionKey, 0)));
  FUZZ_CHECK(fresh.integer(u"src", -1) == (old_src >= 0 ? old_src : -1));
  FUZZ_CHECK(fresh.integer(u"tgt", -1) == (old_tgt >= 0 ? old_tgt : -1));

  check_worker_command(profile[u"paths"], seed);
  return 0;
}
