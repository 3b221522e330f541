// The shipped program itself: the resources Parlivo.exe carries, and a real run that opens the
// window and ends with exit code 0 when the window is closed before any worker runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/program_dir_win32.h"

namespace colloquor {
namespace {

std::wstring built_program() { return program_dir() + L"\\Parlivo.exe"; }

class ParlivoImage : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(built_program().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "Parlivo.exe must be built next to this test";
  }
  void TearDown() override { FreeLibrary(module_); }

  std::string resource_bytes(LPCWSTR type, LPCWSTR name) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return std::string(data, SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bits;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(ParlivoImage, IconGroupOneHoldsSevenSquare32BitImages) {
  const std::string group = resource_bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(count, 7);
  ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));
  std::vector<int> sizes;
  for (int i = 0; i < count; ++i) {
    const auto* entry = reinterpret_cast<const GroupIconEntry*>(group.data() + 6) + i;
    EXPECT_EQ(entry->width, entry->height);
    EXPECT_EQ(entry->bits, 32);
    sizes.push_back(entry->width == 0 ? 256 : entry->width);
    const std::string image = resource_bytes(RT_ICON, MAKEINTRESOURCEW(entry->id));
    EXPECT_EQ(image.size(), entry->bytes);
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));

  HICON big = static_cast<HICON>(
      LoadImageW(module_, MAKEINTRESOURCEW(1), IMAGE_ICON, 48, 48, LR_DEFAULTCOLOR));
  EXPECT_NE(big, nullptr);
  if (big != nullptr) DestroyIcon(big);
}

std::wstring version_string(const std::vector<char>& block, const wchar_t* key) {
  wchar_t* value = nullptr;
  UINT length = 0;
  std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return L"<missing>";
  }
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(ParlivoVersion, NamesAndNumbers) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(built_program().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(built_program().c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(version_string(block, L"FileDescription"), L"Colloquor");
  EXPECT_EQ(version_string(block, L"ProductName"), L"Colloquor");
  EXPECT_EQ(version_string(block, L"InternalName"), L"Parlivo");
  EXPECT_EQ(version_string(block, L"OriginalFilename"), L"Parlivo.exe");
  EXPECT_EQ(version_string(block, L"FileVersion"), L"1.0.0.0");
  EXPECT_EQ(version_string(block, L"ProductVersion"), L"1.0.0.0");
}

TEST_F(ParlivoImage, ManifestAsksForNothingAndKeepsTheClassicControls) {
  const std::string manifest = resource_bytes(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("<description>Colloquor</description>"), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
  EXPECT_EQ(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_EQ(manifest.find("dependency"), std::string::npos);
}

// Runs a copy of Parlivo.exe from a fresh folder (it writes its files next to itself).
class ParlivoRun : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"parlivo-run-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder_.c_str(), nullptr);
    program_ = folder_ + L"\\Parlivo.exe";
    ASSERT_TRUE(CopyFileW(built_program().c_str(), program_.c_str(), FALSE));
  }
  void TearDown() override {
    DeleteFileW(program_.c_str());
    // Whatever the run left (settings, logs, history) goes too.
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW((folder_ + L"\\" + entry.cFileName).c_str());
      } while (FindNextFileW(search, &entry));
      FindClose(search);
    }
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring folder_;
  std::wstring program_;
};

struct FoundWindow {
  DWORD process_id;
  HWND window;
};

HWND find_main_window(DWORD process_id) {
  FoundWindow found{process_id, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* found = reinterpret_cast<FoundWindow*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[32] = {};
        GetClassNameW(window, name, 32);
        if (owner == found->process_id && std::wstring(name) == L"Parlivo") {
          found->window = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found.window;
}

TEST_F(ParlivoRun, OpensItsWindowAndExitsWithZeroWhenClosedEarly) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + program_ + L"\"";
  ASSERT_TRUE(CreateProcessW(program_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder_.c_str(), &startup, &process));
  HWND window = nullptr;
  for (int i = 0; i < 200 && window == nullptr; ++i) {
    Sleep(50);
    window = find_main_window(process.dwProcessId);
  }
  ASSERT_NE(window, nullptr) << "no Parlivo window appeared";
  // Found while WM_CREATE still runs; it is shown, with its small icon, right after.
  for (int i = 0; i < 200 && !IsWindowVisible(window); ++i) Sleep(50);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  EXPECT_STREQ(title, L"Colloquor");
  EXPECT_TRUE(IsWindowVisible(window));
  // (Its icons are checked in-process by the window test: Wine does not hand another process's
  // window icons across.)

  PostMessageW(window, WM_CLOSE, 0, 0);
  const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "Parlivo did not end after its window was closed";
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // A clean run leaves no crash line behind.
  EXPECT_EQ(GetFileAttributesW((folder_ + L"\\crash.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace colloquor
