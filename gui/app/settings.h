// settings.ini: read while the window is created, rewritten at every change, never at exit.
// Portable: the keys with their defaults and ranges, the version rule, and the order of writing.
// Win32 (settings_win32.cpp): the profile file in UTF-16, and the reading steps that WM_CREATE
// interleaves with the filling of the lists, each its own call, made in order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace colloquor {

// ---- Steps of window creation and save_settings (settings_win32.cpp) ----------------------------

// Computes the path and makes sure the file is in the current format (an older or missing file is
// replaced by an empty one of the current version that keeps only the two language choices).
void prepare_settings_file();

// After the language lists are filled: languages, gain, strength and the conditioning switches.
void load_language_and_audio_settings();

// After the output device list is filled and its first item selected: the stored device.
void load_output_device_setting();

// The chosen model ids, the capture switches, the speaker radio buttons and the sensitivity.
void load_model_and_capture_settings();

// After the history is listed: the stored microphone, found by its item text.
void load_microphone_setting();

// Writes the whole "app" section from the current state; nothing before the path is known.
void save_settings();

// ---- The file's format (portable) ---------------------------------------------------------------

inline constexpr char16_t kSettingsFileName[] = u"settings.ini";
inline constexpr char16_t kSettingsSection[] = u"app";
inline constexpr char16_t kVersionKey[] = u"v";
inline constexpr std::int32_t kSettingsVersion = 2;
// The whole content of a new file: the UTF-16 little-endian byte-order mark, which makes the
// profile functions write the file as UTF-16.
inline constexpr unsigned char kUtf16Bom[2] = {0xFF, 0xFE};

// Read buffers of the string keys, in characters with the terminator: the longest value kept is
// one character less.
inline constexpr std::size_t kSysdevChars = 512;
inline constexpr std::size_t kModelIdChars = 64;
inline constexpr std::size_t kMicrophoneChars = 256;

// Every choice the "app" section holds, in the units of the window (gain in dB).
struct AppSettings {
  std::int32_t src = 1;   // speech language list position: 0 Auto, 1..8 the languages
  std::int32_t tgt = 2;   // translation language list position: 0 No translation, 1..8
  std::int32_t gain = 0;  // -10..+30 dB (stored as dB + 10)
  std::int32_t nsv = 50;  // 0..100
  bool ns = true;
  bool agc = true;
  bool boost = false;
  std::u16string sysdev;  // endpoint id of the output device; empty: the default device
  std::u16string spkmodel;
  std::u16string trmodel;
  bool micon = true;
  bool sys = false;
  bool rev = true;
  bool echo = true;
  bool diar = false;        // "Several (detect voices)" chosen
  std::int32_t sens2 = 60;  // 0..100
  std::u16string mic;       // item text of the microphone list; empty: "System default"
};

// What the profile functions answer for a key of the "app" section.
struct SettingsSource {
  virtual ~SettingsSource() = default;
  // The integer of a key, or `fallback` when it is missing (a value without leading digits is 0).
  virtual std::int32_t integer(std::u16string_view key, std::int32_t fallback) const = 0;
  // The text of a key read into `capacity` characters (terminator included); empty when missing.
  virtual std::u16string text(std::u16string_view key, std::size_t capacity) const = 0;
};

// Reads every key with its default and holds each value inside its range: a language position
// outside 0..8 counts as the default, gain, strength and sensitivity are held at their ends, and
// strings are cut to their buffers.
AppSettings read_app_settings(const SettingsSource& source);

// Language list position rule: 0..8 as it is, anything else the fallback.
std::int32_t language_position(std::int32_t value, std::int32_t fallback);

// One key and its text.
struct SettingsEntry {
  std::u16string key;
  std::u16string value;
};

// What save_settings writes, in its order: mic, src, tgt, gain (+10), ns, nsv, agc, boost,
// sysdev, spkmodel, trmodel, micon, sys, rev, echo, diar, sens2. Integers in decimal.
std::vector<SettingsEntry> settings_entries(const AppSettings& settings);

// The version rule: a present file whose "v" reads 2 is used as it is; anything else is replaced.
bool settings_file_current(bool file_exists, std::int32_t version);
// What a replaced file receives after its byte-order mark: "v" = 2, then the language positions
// read from the old file (with default -1) when they are 0 or more.
std::vector<SettingsEntry> replacement_entries(std::int32_t old_src, std::int32_t old_tgt);

}  // namespace colloquor
