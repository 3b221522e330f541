// probe COMMAND [ARGS]: finds the top-level window of class "Parlivo" and
//   wait-window MS            waits until the window exists
//   text ID                   prints the control's text (UTF-8)
//   wait-text ID TEXT MS      waits until the control's text contains TEXT; prints the text
//   enabled ID                prints 1 or 0
//   wait-enabled ID MS        waits until the control is enabled
//   click ID                  clicks a button (only an enabled one reacts, as for a user)
//   select ID INDEX           selects an item of a combo box and notifies the window
//   check ID 0|1              sets a check box and notifies the window
//   close                     asks the window to close
//   terminate                 ends Parlivo's process at once (TerminateProcess), as a crash would
//   items ID                  prints the items of a list box, one per line
//   save-as ID PATH MS        clicks a button that opens a Save dialog, enters PATH there and
//                             confirms it; waits up to MS for the dialog
// Exit code 0 on success, 1 on a time-out or a missing window or control, 2 on bad usage.
#include <windows.h>
#include <dlgs.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HWND find_main() { return FindWindowW(L"Parlivo", nullptr); }

std::string to_utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring control_text(HWND control) {
  const LRESULT len = SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(len) + 1, L'\0');
  const LRESULT got = SendMessageW(control, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                                   reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return text;
}

HWND control(int id) {
  HWND main = find_main();
  return main ? GetDlgItem(main, id) : nullptr;
}

bool wait_for(DWORD ms, bool (*ready)(const void*), const void* arg) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (ready(arg)) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(50);
  }
}

// A dialog box (class #32770) shown by the main window's process, or nullptr.
HWND find_dialog_of_main() {
  struct Search {
    DWORD process;
    HWND found;
  } search{0, nullptr};
  HWND main = find_main();
  if (!main || GetWindowThreadProcessId(main, &search.process) == 0) return nullptr;
  EnumWindows(
      [](HWND window, LPARAM arg) -> BOOL {
        auto* search = reinterpret_cast<Search*>(arg);
        wchar_t name[16] = {};
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != search->process || !IsWindowVisible(window)) return TRUE;
        if (GetClassNameW(window, name, 16) == 0 || std::wcscmp(name, L"#32770") != 0) return TRUE;
        search->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Clicks the button without waiting for it (the dialog it opens is modal), then answers the dialog.
bool save_as(int id, const wchar_t* path, DWORD ms) {
  HWND button = control(id);
  if (!button) return false;
  PostMessageW(button, BM_CLICK, 0, 0);
  const ULONGLONG end = GetTickCount64() + ms;
  HWND dialog = nullptr;
  while ((dialog = find_dialog_of_main()) == nullptr) {
    if (GetTickCount64() >= end) return false;
    Sleep(50);
  }
  HWND name = nullptr;
  for (int box : {edt1, cmb13}) {
    if ((name = GetDlgItem(dialog, box)) != nullptr) break;
  }
  if (!name) return false;
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return true;
}

struct TextWait {
  int id;
  std::wstring needle;
};

void print(const std::wstring& text) {
  const std::string bytes = to_utf8(text);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

int usage() {
  fputs(
      "usage: probe wait-window MS | text ID | wait-text ID TEXT MS | enabled ID | wait-enabled ID "
      "MS |"
      " click ID | select ID INDEX | check ID 0|1 | close | terminate | items ID | save-as ID PATH"
      " MS\n",
      stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return usage();
  const std::wstring cmd = argv[1];
  auto num = [&](int i) { return static_cast<int>(std::wcstol(argv[i], nullptr, 10)); };

  if (cmd == L"wait-window" && argc == 3) {
    return wait_for(
               static_cast<DWORD>(num(2)), [](const void*) { return find_main() != nullptr; },
               nullptr)
               ? 0
               : 1;
  }
  if (cmd == L"close" && argc == 2) {
    HWND main = find_main();
    if (!main) return 1;
    PostMessageW(main, WM_CLOSE, 0, 0);
    return 0;
  }
  if (cmd == L"terminate" && argc == 2) {
    HWND main = find_main();
    DWORD pid = 0;
    if (!main || GetWindowThreadProcessId(main, &pid) == 0) return 1;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process) return 1;
    const bool ended =
        TerminateProcess(process, 1) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended ? 0 : 1;
  }
  if (argc < 3) return usage();
  const int id = num(2);
  if (cmd == L"text" && argc == 3) {
    HWND c = control(id);
    if (!c) return 1;
    print(control_text(c));
    return 0;
  }
  if (cmd == L"wait-text" && argc == 5) {
    TextWait w{id, argv[3]};
    const bool ok = wait_for(
        static_cast<DWORD>(num(4)),
        [](const void* a) {
          const auto* w = static_cast<const TextWait*>(a);
          HWND c = control(w->id);
          return c && control_text(c).find(w->needle) != std::wstring::npos;
        },
        &w);
    HWND c = control(id);
    if (c) print(control_text(c));
    return ok ? 0 : 1;
  }
  if (cmd == L"items" && argc == 3) {
    HWND c = control(id);
    if (!c) return 1;
    const LRESULT count = SendMessageW(c, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      std::wstring item(static_cast<size_t>(SendMessageW(c, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
      item.resize(static_cast<size_t>(
          SendMessageW(c, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
      print(item);
    }
    return 0;
  }
  if (cmd == L"enabled" && argc == 3) {
    HWND c = control(id);
    if (!c) return 1;
    print(IsWindowEnabled(c) ? L"1" : L"0");
    return 0;
  }
  if (cmd == L"wait-enabled" && argc == 4) {
    return wait_for(
               static_cast<DWORD>(num(3)),
               [](const void* a) {
                 HWND c = control(*static_cast<const int*>(a));
                 return c && IsWindowEnabled(c);
               },
               &id)
               ? 0
               : 1;
  }
  if (cmd == L"click" && argc == 3) {
    HWND c = control(id);
    if (!c) return 1;
    SendMessageW(c, BM_CLICK, 0, 0);
    return 0;
  }
  if (cmd == L"select" && argc == 4) {
    HWND c = control(id);
    if (!c) return 1;
    if (SendMessageW(c, CB_SETCURSEL, static_cast<WPARAM>(num(3)), 0) == CB_ERR) return 1;
    SendMessageW(GetParent(c), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(c));
    return 0;
  }
  if (cmd == L"save-as" && argc == 5) {
    return save_as(id, argv[3], static_cast<DWORD>(num(4))) ? 0 : 1;
  }
  if (cmd == L"check" && argc == 4) {
    HWND c = control(id);
    if (!c) return 1;
    const bool want = num(3) != 0;
    const bool now = SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (want != now) SendMessageW(c, BM_CLICK, 0, 0);
    return 0;
  }
  return usage();
}
