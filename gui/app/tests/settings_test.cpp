// The settings file's keys: defaults for a missing key, the range of every value, the cut of the
// string keys, the order and form of writing, and the version rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/settings.h"

namespace colloquor {
namespace {

// An "app" section in memory, answering as the profile functions do for present and missing keys
// (the profile functions' own parsing is exercised on the real file under Wine).
class Section final : public SettingsSource {
 public:
  std::map<std::u16string, std::int32_t> integers;
  std::map<std::u16string, std::u16string> texts;

  std::int32_t integer(std::u16string_view key, std::int32_t fallback) const override {
    const auto found = integers.find(std::u16string(key));
    return found == integers.end() ? fallback : found->second;
  }
  std::u16string text(std::u16string_view key, std::size_t capacity) const override {
    const auto found = texts.find(std::u16string(key));
    if (found == texts.end()) return {};
    return found->second.substr(0, capacity - 1);
  }
};

std::u16string value_of(const std::vector<SettingsEntry>& entries, std::u16string_view key) {
  for (const SettingsEntry& entry : entries) {
    if (entry.key == key) return entry.value;
  }
  return u"<missing>";
}

TEST(SettingsRead, EmptySectionGivesTheFirstStartChoices) {
  const AppSettings s = read_app_settings(Section{});
  EXPECT_EQ(s.src, 1);  // Russian
  EXPECT_EQ(s.tgt, 2);  // English
  EXPECT_EQ(s.gain, 0);
  EXPECT_EQ(s.nsv, 50);
  EXPECT_TRUE(s.ns);
  EXPECT_TRUE(s.agc);
  EXPECT_FALSE(s.boost);
  EXPECT_EQ(s.sysdev, u"");
  EXPECT_EQ(s.spkmodel, u"");
  EXPECT_EQ(s.trmodel, u"");
  EXPECT_TRUE(s.micon);
  EXPECT_FALSE(s.sys);
  EXPECT_TRUE(s.rev);
  EXPECT_TRUE(s.echo);
  EXPECT_FALSE(s.diar);
  EXPECT_EQ(s.sens2, 60);
  EXPECT_EQ(s.mic, u"");
}

TEST(SettingsRead, LanguagePositionsOutsideTheListsFallBack) {
  Section section;
  section.integers = {{u"src", 9}, {u"tgt", -1}};
  AppSettings s = read_app_settings(section);
  EXPECT_EQ(s.src, 1);
  EXPECT_EQ(s.tgt, 2);
  section.integers = {{u"src", 0}, {u"tgt", 0}};
  s = read_app_settings(section);
  EXPECT_EQ(s.src, 0);  // Auto
  EXPECT_EQ(s.tgt, 0);  // No translation
  section.integers = {{u"src", 8}, {u"tgt", 8}};
  s = read_app_settings(section);
  EXPECT_EQ(s.src, 8);
  EXPECT_EQ(s.tgt, 8);
}

TEST(SettingsRead, TrackbarValuesAreHeldAtTheirEnds) {
  Section section;
  section.integers = {{u"gain", 45}, {u"nsv", 250}, {u"sens2", -4}};
  AppSettings s = read_app_settings(section);
  EXPECT_EQ(s.gain, 30);  // shows "+30 dB"; the next save stores 40
  EXPECT_EQ(s.nsv, 100);
  EXPECT_EQ(s.sens2, 0);
  EXPECT_EQ(value_of(settings_entries(s), u"gain"), u"40");

  section.integers = {{u"gain", 0}};
  EXPECT_EQ(read_app_settings(section).gain, -10);
  section.integers = {{u"gain", INT32_MIN}, {u"nsv", INT32_MIN}, {u"sens2", INT32_MAX}};
  s = read_app_settings(section);
  EXPECT_EQ(s.gain, -10);
  EXPECT_EQ(s.nsv, 0);
  EXPECT_EQ(s.sens2, 100);
  section.integers = {{u"gain", 23}};
  EXPECT_EQ(read_app_settings(section).gain, 13);
}

TEST(SettingsRead, SwitchesAreOnForAnyNonZeroValue) {
  Section section;
  section.integers = {{u"ns", 0},  {u"agc", 7}, {u"boost", 2}, {u"micon", 0},
                      {u"sys", 1}, {u"rev", 0}, {u"echo", 0},  {u"diar", 3}};
  const AppSettings s = read_app_settings(section);
  EXPECT_FALSE(s.ns);
  EXPECT_TRUE(s.agc);
  EXPECT_TRUE(s.boost);
  EXPECT_FALSE(s.micon);
  EXPECT_TRUE(s.sys);
  EXPECT_FALSE(s.rev);
  EXPECT_FALSE(s.echo);
  EXPECT_TRUE(s.diar);
}

TEST(SettingsRead, StringsAreCutToTheirBuffers) {
  Section section;
  section.texts = {{u"sysdev", std::u16string(600, u'd')},
                   {u"spkmodel", std::u16string(100, u's')},
                   {u"trmodel", u"nllb33"},
                   {u"mic", std::u16string(300, u'\u041C')}};
  const AppSettings s = read_app_settings(section);
  EXPECT_EQ(s.sysdev.size(), 511u);
  EXPECT_EQ(s.spkmodel.size(), 63u);
  EXPECT_EQ(s.trmodel, u"nllb33");
  EXPECT_EQ(s.mic, std::u16string(255, u'\u041C'));
}

TEST(SettingsWrite, EveryKeyInItsOrderAndForm) {
  AppSettings s;
  s.mic = u"Mikrofon (USB)";
  s.src = 3;
  s.tgt = 0;
  s.gain = -7;
  s.ns = false;
  s.nsv = 35;
  s.agc = true;
  s.boost = true;
  s.sysdev = u"{0.0.0.00000000}.{abc}";
  s.spkmodel = u"campp";
  s.trmodel = u"madlad3b";
  s.micon = false;
  s.sys = true;
  s.rev = false;
  s.echo = true;
  s.diar = true;
  s.sens2 = 75;
  const std::vector<SettingsEntry> entries = settings_entries(s);
  std::vector<std::u16string> keys, values;
  for (const SettingsEntry& e : entries) {
    keys.push_back(e.key);
    values.push_back(e.value);
  }
  EXPECT_EQ(keys,
            (std::vector<std::u16string>{u"mic", u"src", u"tgt", u"gain", u"ns", u"nsv", u"agc",
                                         u"boost", u"sysdev", u"spkmodel", u"trmodel", u"micon",
                                         u"sys", u"rev", u"echo", u"diar", u"sens2"}));
  EXPECT_EQ(values,
            (std::vector<std::u16string>{u"Mikrofon (USB)", u"3", u"0", u"3", u"0", u"35", u"1",
                                         u"1", u"{0.0.0.00000000}.{abc}", u"campp", u"madlad3b",
                                         u"0", u"1", u"0", u"1", u"1", u"75"}));
}

TEST(SettingsWrite, ListsWithoutSelectionAreStoredAsMinusOneAndReadBackAsDefaults) {
  AppSettings s;
  s.src = -1;
  s.tgt = -1;
  const std::vector<SettingsEntry> entries = settings_entries(s);
  EXPECT_EQ(value_of(entries, u"src"), u"-1");
  EXPECT_EQ(value_of(entries, u"tgt"), u"-1");
  Section section;
  section.integers = {{u"src", -1}, {u"tgt", -1}};
  EXPECT_EQ(read_app_settings(section).src, 1);
  EXPECT_EQ(read_app_settings(section).tgt, 2);
}

TEST(SettingsWrite, WhatIsWrittenReadsBackUnchanged) {
  AppSettings s;
  s.src = 5;
  s.tgt = 7;
  s.gain = 12;
  s.nsv = 0;
  s.ns = false;
  s.sens2 = 100;
  s.diar = true;
  s.mic = u"Headset";
  s.trmodel = u"nllb13";
  Section section;
  for (const SettingsEntry& e : settings_entries(s)) {
    const std::string digits(e.value.begin(), e.value.end());
    const bool numeric =
        !digits.empty() && digits.find_first_not_of("-0123456789") == std::string::npos;
    if (numeric && e.key != u"mic" && e.key != u"sysdev" && e.key != u"spkmodel" &&
        e.key != u"trmodel") {
      section.integers[e.key] = std::stoi(digits);
    } else {
      section.texts[e.key] = e.value;
    }
  }
  const AppSettings back = read_app_settings(section);
  EXPECT_EQ(back.src, 5);
  EXPECT_EQ(back.tgt, 7);
  EXPECT_EQ(back.gain, 12);
  EXPECT_EQ(back.nsv, 0);
  EXPECT_FALSE(back.ns);
  EXPECT_EQ(back.sens2, 100);
  EXPECT_TRUE(back.diar);
  EXPECT_EQ(back.mic, u"Headset");
  EXPECT_EQ(back.trmodel, u"nllb13");
}

TEST(SettingsVersion, OnlyAPresentFileOfVersionTwoIsKept) {
  EXPECT_TRUE(settings_file_current(true, 2));
  EXPECT_FALSE(settings_file_current(true, 1));
  EXPECT_FALSE(settings_file_current(true, 0));  // no "v" key
  EXPECT_FALSE(settings_file_current(true, 3));
  EXPECT_FALSE(settings_file_current(false, 2));
}

TEST(SettingsVersion, AReplacedFileKeepsOnlyItsLanguages) {
  std::vector<SettingsEntry> entries = replacement_entries(3, 0);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].key, u"v");
  EXPECT_EQ(entries[0].value, u"2");
  EXPECT_EQ(entries[1].key, u"src");
  EXPECT_EQ(entries[1].value, u"3");
  EXPECT_EQ(entries[2].key, u"tgt");
  EXPECT_EQ(entries[2].value, u"0");

  entries = replacement_entries(-1, -1);  // a missing file
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, u"v");

  entries = replacement_entries(-1, 4);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].key, u"tgt");
}

}  // namespace
}  // namespace colloquor
