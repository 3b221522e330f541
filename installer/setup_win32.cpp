#include "installer/setup_win32.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <urlmon.h>

#include <cstdio>

#include "shared/process_runner_win32.h"
#include "shared/win32_text.h"

namespace colloquor::setup {
namespace {

// A silent probe that has not answered within a minute counts as failed (exit code 1).
constexpr std::uint32_t kHiddenProbeLimitMs = 60000;

bool file_exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// A redirected standard output gets the same text as UTF-8, so that a log of the run survives
// instead of vanishing.
void write_out(const std::u16string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (text.empty() || out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (is_console(out)) {
    WriteConsoleW(out, wide(text), DWORD(text.size()), &written, nullptr);
    return;
  }
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide(text), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(std::size_t(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide(text), int(text.size()), bytes.data(), size, nullptr,
                        nullptr);
  WriteFile(out, bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

// Reads one answer line and returns its first character (0 for an empty line or no input).
// Console input typed earlier is thrown away first, so that keys pressed during a long step
// cannot answer a later question.
char16_t read_answer(DWORD max_chars) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (is_console(in)) {
    FlushConsoleInputBuffer(in);
    wchar_t buffer[16] = {};
    DWORD got = 0;
    ReadConsoleW(in, buffer, max_chars, &got, nullptr);
    return char16_t(buffer[0]);
  }
  // Redirected input: one line of UTF-8 bytes.
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (line.size() < 64 && ReadFile(in, &c, 1, &got, nullptr) && got == 1 && c != '\n')
    line.push_back(c);
  wchar_t first[2] = {};
  if (!line.empty()) MultiByteToWideChar(CP_UTF8, 0, line.data(), int(line.size()), first, 1);
  if (first[0] == L'\r') return 0;
  return char16_t(first[0]);
}

void wait_for_enter() {
  print_line(u"");
  print_text(u"Press Enter to close this window...");
  read_answer(16);
}

// ---------------------------------------------------------------- folder, payload

void make_install_folder(const std::u16string& install_dir) {
  CreateDirectoryW(wide(install_dir), nullptr);
  if (!file_exists(install_dir)) fail_install(u"could not create the folder " + install_dir);
}

bool write_payload_file(const PayloadFile& file, const std::u16string& target) {
  HRSRC resource = FindResourceW(nullptr, wide(file.resource), MAKEINTRESOURCEW(10));
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  const DWORD size = SizeofResource(nullptr, resource);
  const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
  if (bytes == nullptr) return false;
  HANDLE handle = CreateFileW(wide(target), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(handle, bytes, size, &written, nullptr);
  CloseHandle(handle);
  return ok && written == size;
}

void write_payload_files(const std::u16string& install_dir) {
  for (const PayloadFile& file : kPayloadFiles) {
    if (!write_payload_file(file, install_dir + u"\\" + file.file_name)) {
      fail_install(u"could not write " + std::u16string(file.file_name) +
                   u" (is the program running? close Parlivo.exe)");
    }
    print_line(u"  " + std::u16string(file.file_name));
  }
}

// ---------------------------------------------------------------- Python

bool python_is_suitable(const std::u16string& path) {
  return run_hidden(suitability_command(path)) == 0;
}

std::u16string registered_python(HKEY root, const char16_t* version) {
  wchar_t buffer[520] = {};
  DWORD bytes = 1038;
  const LONG status = RegGetValueW(root, wide(python_registry_key(version)), L"ExecutablePath",
                                   RRF_RT_REG_SZ, nullptr, buffer, &bytes);
  return status == ERROR_SUCCESS ? from_wide(buffer) : std::u16string();
}

std::u16string find_python(const std::u16string& install_dir) {
  PythonSearchPlaces places;
  places.install_dir = install_dir;
  places.local_app_data = env_value(L"LOCALAPPDATA");
  places.program_files = env_value(L"ProgramFiles");
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (const char16_t* version : kRegistryVersions)
      places.registered_paths.push_back(registered_python(root, version));
  }
  for (const std::u16string& candidate : python_candidates(places)) {
    if (file_exists(candidate) && python_is_suitable(candidate)) return candidate;
  }
  return python_is_suitable(u"python") ? u"python" : u"";
}

std::u16string python_from_package(const std::u16string& install_dir,
                                   const PythonSources& sources) {
  const std::u16string unpacker = env_value(L"SystemRoot") + u"\\System32\\tar.exe";
  if (!file_exists(unpacker)) return u"";
  const std::u16string archive = env_value(L"TEMP") + u"\\colloquor-python.zip";
  const std::u16string folder = install_dir + u"\\python-pkg";
  const std::u16string interpreter = folder + u"\\tools\\python.exe";
  print_line(u"Downloading Python 3.12 (about 15 MB)...");
  if (!download_with_progress(sources.package_url, archive)) {
    print_line(u"Download failed. Trying the " + sources.site_label + u" installer instead.");
    return u"";
  }
  print_line(u"Unpacking...");
  CreateDirectoryW(wide(folder), nullptr);
  const int rc = run_and_wait(unpack_command(unpacker, archive, folder), u"");
  DeleteFileW(wide(archive));
  if (rc == 0 && python_is_suitable(interpreter)) return interpreter;
  print_line(u"The unpacked Python does not start (code " + decimal(rc) + u"). Trying the " +
             sources.site_label + u" installer instead.");
  return u"";
}

std::u16string python_from_installer(const std::u16string& install_dir,
                                     const PythonSources& sources) {
  const std::u16string installer = env_value(L"TEMP") + u"\\colloquor-python-setup.exe";
  const std::u16string log = install_dir + u"\\python-setup.log";
  print_line(u"Downloading the Python installer from " + sources.site_label + u" (about 25 MB)...");
  if (!download_with_progress(sources.installer_url, installer)) {
    print_line(u"Could not download Python. Check your internet connection.");
    return u"";
  }
  print_line(u"Installing Python for the current user...");
  const int rc = run_and_wait(python_installer_command(installer, log), u"");
  DeleteFileW(wide(installer));
  std::u16string base = find_python(install_dir);
  if (base.empty()) print_line(u"Python setup exit code " + decimal(rc) + u". Log: " + log);
  return base;
}

void python_step(const std::u16string& install_dir, const std::u16string& venv_python,
                 const PythonSources& sources) {
  if (file_exists(venv_python) && python_is_suitable(venv_python)) {
    print_line(u"The Python environment already exists, skipping.");
    return;
  }
  std::u16string base = find_python(install_dir);
  if (base.empty()) {
    print_line(u"No suitable Python (3.10+ with venv, ssl and pip) found on this PC.");
    base = python_from_package(install_dir, sources);
    if (base.empty()) base = python_from_installer(install_dir, sources);
    if (base.empty()) {
      print_line(u"Alternative: install Python 3.12 from " + sources.downloads_page +
                 u" yourself, then run this installer again.");
      fail_install(u"could not set up Python.");
    }
  }
  print_line(u"Python: " + base);
  print_line(u"Creating the venv environment...");
  const int rc = run_and_wait(venv_command(base, install_dir + u"\\venv"), u"");
  if (rc != 0 || !file_exists(venv_python)) fail_install(u"could not create the venv.");
}

// ---------------------------------------------------------------- packages and models

// The worker's has_nvidia applies this same rule: what is installed here for a card (the CUDA
// libraries, the large model) is what the worker expects to find when it sees one.
bool detect_nvidia() {
  if (file_exists(env_value(L"SystemRoot") + u"\\System32\\nvidia-smi.exe")) return true;
  return run_hidden(u"nvidia-smi -L") == 0;
}

void derive_cpu_requirements(const std::u16string& source_path, const std::u16string& target_path) {
  std::FILE* source = _wfopen(wide(source_path), L"rb");
  std::FILE* target = _wfopen(wide(target_path), L"wb");
  if (source != nullptr && target != nullptr) filter_cpu_requirements(source, target);
  if (source != nullptr) std::fclose(source);
  if (target != nullptr) std::fclose(target);
}

bool packages_step(const std::u16string& install_dir, const std::u16string& venv_python) {
  const bool nvidia_found = detect_nvidia();
  print_line(nvidia_found
                 ? u"NVIDIA video card found - installing everything, including the CUDA libraries."
                 : u"No NVIDIA video card found - installing without the CUDA libraries (runs on "
                   u"the processor).");
  run_and_wait(pip_upgrade_command(venv_python), u"");
  std::u16string list = install_dir + u"\\requirements.txt";
  if (!nvidia_found) {
    const std::u16string cpu_list = install_dir + u"\\requirements-cpu.txt";
    derive_cpu_requirements(list, cpu_list);
    list = cpu_list;
  }
  if (run_and_wait(pip_install_command(venv_python, list), u"") != 0) {
    fail_install(u"pip could not install the packages (see the messages above).");
  }
  return nvidia_found;
}

void models_step(const std::u16string& install_dir, const std::u16string& venv_python,
                 bool nvidia_found) {
  print_line(nvidia_found
                 ? u"Recognition: Whisper large-v3 (~3 GB), translation: NLLB-200 (~1.4 GB)."
                 : u"Recognition: Whisper small (~0.5 GB), translation: NLLB-200 (~1.4 GB).");
  if (run_and_wait(models_command(venv_python, install_dir, nvidia_found), install_dir) != 0) {
    fail_install(u"could not download the models (see the messages above).");
  }
}

// ---------------------------------------------------------------- shortcut and launch

void create_desktop_shortcut(const std::u16string& install_dir) {
  PWSTR desktop = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &desktop))) return;
  const std::u16string shortcut = from_wide(desktop) + u"\\Colloquor.lnk";
  CoTaskMemFree(desktop);
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return;
  }
  link->SetPath(wide(install_dir + u"\\Parlivo.exe"));
  link->SetWorkingDirectory(wide(install_dir));
  link->SetDescription(L"Live speech recognition and translation");
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    // A shortcut that could not be saved is not announced.
    const HRESULT saved = file->Save(wide(shortcut), TRUE);
    file->Release();
    if (SUCCEEDED(saved)) print_line(u"Desktop shortcut: Colloquor");
  }
  link->Release();
}

void closing_dialogue(const std::u16string& install_dir) {
  print_line(u"The program is installed in " + install_dir);
  print_line(u"");
  print_text(u"Start Colloquor now? [Y/n] ");
  if (answer_declines_start(read_answer(15))) return;
  ShellExecuteW(nullptr, L"open", wide(install_dir + u"\\Parlivo.exe"), nullptr, wide(install_dir),
                SW_SHOWNORMAL);
}

// ---------------------------------------------------------------- download progress

class Progress final : public IBindStatusCallback {
 public:
  std::uint32_t last_percent = kNoPercentShown;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The object lives in the caller's frame for one download; counting would change nothing.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progress_max, ULONG,
                                       LPCWSTR) override {
    std::u16string text;
    if (progress_text(last_percent, progress, progress_max, text)) print_text(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
    print_line(u"");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }
};

}  // namespace

// ---------------------------------------------------------------- console and processes

void print_text(const std::u16string& text) { write_out(text); }

void print_line(const std::u16string& text) { write_out(text + u"\r\n"); }

void print_step(const std::u16string& title) {
  print_line(u"");
  print_line(u"===== " + title + u" =====");
}

void fail_install(const std::u16string& message) {
  print_line(u"");
  print_line(u"ERROR: " + message);
  print_line(
      u"The installation is not finished. Run the installer again - the steps that are already "
      u"done are skipped.");
  wait_for_enter();
  ExitProcess(1);
}

std::u16string env_value(const wchar_t* name) {
  static wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  if (length == 0 || length >= 32768) return u"";
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

int run_and_wait(const std::u16string& command_line, const std::u16string& working_dir) {
  ProcessStart start;
  start.command_line = command_line;
  start.working_dir = working_dir;
  start.inherit_handles = true;
  const StartedProcess process = start_process(start);
  if (!process.started()) return -1;
  return wait_for_process(process, ProcessWait{}).exit_code;
}

int run_hidden(const std::u16string& command_line) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  StartedProcess process;
  {
    // The child has its own copy once it exists; the installer's closes right after the attempt.
    const UniqueHandle null_device(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE,
                                               &inheritable, OPEN_EXISTING, 0, nullptr));
    ProcessStart start;
    start.command_line = command_line;
    start.inherit_handles = true;
    start.hidden = true;
    start.standard_handles =
        StandardHandles{GetStdHandle(STD_INPUT_HANDLE), null_device.get(), null_device.get()};
    process = start_process(start);
  }
  if (!process.started()) return -1;
  ProcessWait wait;
  wait.limit_ms = kHiddenProbeLimitMs;
  return wait_for_process(process, wait).exit_code;
}

bool download_with_progress(const std::u16string& url, const std::u16string& target) {
  Progress progress;
  progress.last_percent = kNoPercentShown;
  const HRESULT result = URLDownloadToFileW(nullptr, wide(url), wide(target), 0, &progress);
  return SUCCEEDED(result) && file_exists(target);
}

std::u16string pick_install_folder() {
  std::u16string path;
  IFileOpenDialog* dialog = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog)))) {
    return path;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
  dialog->SetTitle(L"Where to install Colloquor? (a folder named Colloquor is created)");
  dialog->SetOkButtonLabel(L"Install here");
  if (SUCCEEDED(dialog->Show(GetConsoleWindow()))) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog->GetResult(&item)) && item != nullptr) {
      PWSTR chosen = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &chosen)) && chosen != nullptr) {
        path = from_wide(chosen);
        CoTaskMemFree(chosen);
      }
      item->Release();
    }
  }
  dialog->Release();
  return path;
}

bool query_free_bytes(const std::u16string& folder, std::uint64_t& available) {
  ULARGE_INTEGER caller = {};
  if (!GetDiskFreeSpaceExW(wide(folder), &caller, nullptr, nullptr)) return false;
  available = caller.QuadPart;
  return true;
}

int run_setup(const SetupHooks& hooks) {
  SetConsoleTitleW(L"Colloquor - setup");
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  print_line(u"Colloquor - setup");
  // Without COM the run still goes as far as it can: the picker then yields no folder.
  if (FAILED(com)) print_line(com_unavailable_line(static_cast<std::uint32_t>(com)));
  print_line(u"A folder picker opens now.");
  const std::u16string chosen =
      hooks.pick_folder != nullptr ? hooks.pick_folder() : pick_install_folder();
  if (chosen.empty()) fail_install(u"no folder was chosen.");
  const std::u16string install_dir = install_dir_for(chosen);
  make_install_folder(install_dir);
  print_line(u"Install folder: " + install_dir);

  const std::u16string venv_python = venv_python_for(install_dir);
  if (!file_exists(venv_python)) {
    std::uint64_t available = 0;
    auto query = hooks.free_bytes != nullptr ? hooks.free_bytes : query_free_bytes;
    if (query(install_dir, available)) {
      print_line(free_space_line(available));
      if (!enough_free_space(available)) {
        fail_install(
            u"not enough free disk space on the target drive. Choose another folder and run the "
            u"installer again.");
      }
    }
  }

  print_step(u"1/5  Program files");
  write_payload_files(install_dir);
  print_step(u"2/5  Python");
  python_step(install_dir, venv_python, hooks.sources);
  print_step(u"3/5  Python packages");
  const bool nvidia_found = packages_step(install_dir, venv_python);
  print_step(u"4/5  Models");
  models_step(install_dir, venv_python, nvidia_found);
  print_step(u"5/5  Done");
  create_desktop_shortcut(install_dir);
  closing_dialogue(install_dir);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

}  // namespace colloquor::setup
