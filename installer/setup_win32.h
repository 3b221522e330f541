// ColloquorSetup's run and its Win32 operations: console lines and the one error exit, child
// processes, the folder picker, the payload, the download with its progress line, the Python,
// package and model steps, the desktop shortcut and the launch.
#pragma once

#include <cstdint>
#include <string>

#include "installer/setup_rules.h"

namespace colloquor::setup {

// What differs between the shipped installer and the copies that the tests drive.
struct SetupHooks {
  PythonSources sources = official_python_sources();
  // Returns the chosen folder, empty when none was chosen.
  std::u16string (*pick_folder)() = nullptr;
  // Returns false when the free space cannot be queried.
  bool (*free_bytes)(const std::u16string& folder, std::uint64_t& available) = nullptr;
};

// The whole installation, top to bottom; returns the exit code of a run that was not stopped.
int run_setup(const SetupHooks& hooks);

std::u16string pick_install_folder();
bool query_free_bytes(const std::u16string& folder, std::uint64_t& available);

void print_line(const std::u16string& text);
void print_text(const std::u16string& text);
void print_step(const std::u16string& title);
[[noreturn]] void fail_install(const std::u16string& message);

std::u16string env_value(const wchar_t* name);
int run_and_wait(const std::u16string& command_line, const std::u16string& working_dir);
int run_hidden(const std::u16string& command_line);

bool download_with_progress(const std::u16string& url, const std::u16string& target);

}  // namespace colloquor::setup
