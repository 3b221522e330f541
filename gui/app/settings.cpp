#include "app/settings.h"

#include <algorithm>

namespace colloquor {
namespace {

constexpr std::int32_t kDefaultSrc = 1;
constexpr std::int32_t kDefaultTgt = 2;
constexpr std::int32_t kGainOffset = 10;

std::u16string decimal(std::int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string flag(bool on) { return on ? u"1" : u"0"; }

// A read that came back longer than its buffer allows (a source other than the profile
// functions) is cut the way the profile functions cut it.
std::u16string within(std::u16string text, std::size_t capacity) {
  if (capacity == 0) return {};
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

}  // namespace

std::int32_t language_position(std::int32_t value, std::int32_t fallback) {
  return value >= 0 && value <= 8 ? value : fallback;
}

AppSettings read_app_settings(const SettingsSource& source) {
  const AppSettings defaults;
  AppSettings s;
  s.src = language_position(source.integer(u"src", defaults.src), kDefaultSrc);
  s.tgt = language_position(source.integer(u"tgt", defaults.tgt), kDefaultTgt);
  const std::int64_t stored_gain = source.integer(u"gain", defaults.gain + kGainOffset);
  s.gain = static_cast<std::int32_t>(std::clamp<std::int64_t>(stored_gain - kGainOffset, -10, 30));
  s.nsv = std::clamp(source.integer(u"nsv", defaults.nsv), 0, 100);
  s.ns = source.integer(u"ns", 1) != 0;
  s.agc = source.integer(u"agc", 1) != 0;
  s.boost = source.integer(u"boost", 0) != 0;
  s.sysdev = within(source.text(u"sysdev", kSysdevChars), kSysdevChars);
  s.spkmodel = within(source.text(u"spkmodel", kModelIdChars), kModelIdChars);
  s.trmodel = within(source.text(u"trmodel", kModelIdChars), kModelIdChars);
  s.micon = source.integer(u"micon", 1) != 0;
  s.sys = source.integer(u"sys", 0) != 0;
  s.rev = source.integer(u"rev", 1) != 0;
  s.echo = source.integer(u"echo", 1) != 0;
  s.diar = source.integer(u"diar", 0) != 0;
  s.sens2 = std::clamp(source.integer(u"sens2", defaults.sens2), 0, 100);
  s.mic = within(source.text(u"mic", kMicrophoneChars), kMicrophoneChars);
  return s;
}

std::vector<SettingsEntry> settings_entries(const AppSettings& s) {
  return {
      {u"mic", s.mic},
      {u"src", decimal(s.src)},
      {u"tgt", decimal(s.tgt)},
      {u"gain", decimal(static_cast<std::int64_t>(s.gain) + kGainOffset)},
      {u"ns", flag(s.ns)},
      {u"nsv", decimal(s.nsv)},
      {u"agc", flag(s.agc)},
      {u"boost", flag(s.boost)},
      {u"sysdev", s.sysdev},
      {u"spkmodel", s.spkmodel},
      {u"trmodel", s.trmodel},
      {u"micon", flag(s.micon)},
      {u"sys", flag(s.sys)},
      {u"rev", flag(s.rev)},
      {u"echo", flag(s.echo)},
      {u"diar", flag(s.diar)},
      {u"sens2", decimal(s.sens2)},
  };
}

bool settings_file_current(bool file_exists, std::int32_t version) {
  return file_exists && version == kSettingsVersion;
}

std::vector<SettingsEntry> replacement_entries(std::int32_t old_src, std::int32_t old_tgt) {
  std::vector<SettingsEntry> entries{{kVersionKey, decimal(kSettingsVersion)}};
  if (old_src >= 0) entries.push_back({u"src", decimal(old_src)});
  if (old_tgt >= 0) entries.push_back({u"tgt", decimal(old_tgt)});
  return entries;
}

}  // namespace colloquor
