// The main window: its controls, their placement, the owner-drawn buttons and spinner, the Sessions
// list's keyboard and context menu, and the order of creation and destruction.
#include "app/main_window_win32.h"

#include <commctrl.h>
#include <objbase.h>
#include <richedit.h>
#include <windowsx.h>

#include <array>
#include <thread>

#include "app/commands.h"
#include "app/commands_win32.h"
#include "app/layout.h"
#include "app/owner_draw.h"
#include "shared/program_dir_win32.h"
#include "app/settings.h"
#include "app/window_state.h"
#include "app/worker_messages_win32.h"
#include "audio/capture_control_win32.h"
#include "transcript/history_win32.h"
#include "transcript/panel.h"
#include "transcript/session_file.h"
#include "worker_link/bootstrap_win32.h"
#include "worker_link/frame_writer.h"
#include "worker_link/protocol.h"
#include "worker_link/reader_win32.h"
#include "worker_link/worker_line.h"

namespace colloquor {

namespace {

HWND g_window = nullptr;
int g_dpi = 96;
HFONT g_normal_font = nullptr;
HFONT g_large_font = nullptr;
HFONT g_heading_font = nullptr;
std::array<HWND, kControlCount> g_controls{};
std::thread g_bootstrap_thread;
HWND g_status_tip = nullptr;  // the whole status text when the line cuts it short
HWND g_focus_before_deactivation = nullptr;

int s(int length) { return scale(length, g_dpi); }

int screen_dpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

HFONT make_font(int points, int weight) {
  return CreateFontW(font_height(points, g_dpi), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH, L"Segoe UI");
}

// One row of the creation table.
struct ControlSpec {
  Ctl slot;
  int id;  // 0 for labels, which are never addressed by id
  const wchar_t* window_class;
  const wchar_t* caption;
  DWORD style;  // besides WS_CHILD | WS_VISIBLE
  DWORD ex_style;
};

// Labels are s(26) high but start s(4) into their row, so a few reach 2 pixels into the list
// below them; clipping them to their siblings keeps them from painting over that list's border.
constexpr DWORD kLabel = WS_CLIPSIBLINGS;
constexpr DWORD kCheckBox = WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD kList = WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST;
constexpr DWORD kPushButton = WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kTrackbar = WS_TABSTOP | TBS_NOTICKS;
constexpr DWORD kPanel = WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

// Creation order is also the TAB order.
const ControlSpec kControls[kControlCount] = {
    {Ctl::MicrophoneLabel, 0, L"STATIC", L"Microphone:", kLabel, 0},
    {Ctl::MicrophoneList, kIdMicrophoneList, L"COMBOBOX", L"", kList, 0},
    {Ctl::UseMicrophone, kIdUseMicrophoneCheck, L"BUTTON", L"Use microphone", kCheckBox, 0},
    {Ctl::TranslationModelLabel, 0, L"STATIC", L"Translation model:", kLabel, 0},
    {Ctl::TranslationModelList, kIdTranslationModelList, L"COMBOBOX", L"", kList, 0},
    {Ctl::SpeakerModelLabel, 0, L"STATIC", L"Speaker model:", kLabel, 0},
    {Ctl::SpeakerModelList, kIdSpeakerModelList, L"COMBOBOX", L"", kList, 0},
    {Ctl::OutputDeviceLabel, 0, L"STATIC", L"Other side from:", kLabel, 0},
    {Ctl::OutputDeviceList, kIdOutputDeviceList, L"COMBOBOX", L"", kList, 0},
    {Ctl::SpeechLanguageLabel, 0, L"STATIC", L"Speech language:", kLabel, 0},
    {Ctl::SpeechLanguageList, kIdSpeechLanguageList, L"COMBOBOX", L"", kList, 0},
    {Ctl::Swap, kIdSwapButton, L"BUTTON", L"\u21C4", kPushButton, 0},
    {Ctl::TranslationLanguageLabel, 0, L"STATIC", L"Translate to:", kLabel, 0},
    {Ctl::TranslationLanguageList, kIdTranslationLanguageList, L"COMBOBOX", L"", kList, 0},
    {Ctl::Spinner, kIdSpinner, L"STATIC", L"", SS_OWNERDRAW, 0},
    {Ctl::SessionsLabel, 0, L"STATIC", L"Sessions", kLabel, 0},
    {Ctl::NewSession, kIdNewSessionButton, L"BUTTON", L"+ New session", WS_TABSTOP | BS_OWNERDRAW,
     0},
    {Ctl::SessionsList, kIdSessionsList, L"LISTBOX", L"",
     WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_WANTKEYBOARDINPUT,
     WS_EX_CLIENTEDGE},
    {Ctl::Record, kIdRecordButton, L"BUTTON", L"Record", WS_DISABLED | WS_TABSTOP | BS_OWNERDRAW,
     0},
    {Ctl::Clear, kIdClearButton, L"BUTTON", L"Clear", kPushButton, 0},
    {Ctl::CopyText, kIdCopyTextButton, L"BUTTON", L"Copy text", kPushButton, 0},
    {Ctl::CopyTranslation, kIdCopyTranslationButton, L"BUTTON", L"Copy translation", kPushButton,
     0},
    {Ctl::Save, kIdSaveButton, L"BUTTON", L"Save...", kPushButton, 0},
    {Ctl::MicrophoneLevel, kIdMicrophoneLevel, PROGRESS_CLASSW, L"", 0, 0},
    {Ctl::SystemAudioLevel, kIdSystemAudioLevel, PROGRESS_CLASSW, L"", 0, 0},
    {Ctl::GainLabel, 0, L"STATIC", L"Microphone gain:", kLabel, 0},
    {Ctl::GainTrackbar, kIdGainTrackbar, TRACKBAR_CLASSW, L"", kTrackbar, 0},
    {Ctl::GainValue, 0, L"STATIC", L"+0 dB", kLabel, 0},
    {Ctl::Agc, kIdAgcCheck, L"BUTTON", L"Auto gain (AGC)", kCheckBox, 0},
    {Ctl::NoiseSuppression, kIdNoiseSuppressionCheck, L"BUTTON", L"Noise suppression", kCheckBox,
     0},
    {Ctl::StrengthTrackbar, kIdStrengthTrackbar, TRACKBAR_CLASSW, L"", kTrackbar, 0},
    {Ctl::StrengthValue, 0, L"STATIC", L"strength 50%", kLabel, 0},
    {Ctl::Boost, kIdBoostCheck, L"BUTTON", L"Boost +12 dB (quiet sources)", kCheckBox, 0},
    {Ctl::SystemAudio, kIdSystemAudioCheck, L"BUTTON", L"Capture the other side (system audio)",
     kCheckBox, 0},
    {Ctl::Reverse, kIdReverseCheck, L"BUTTON", L"Other side speaks the translation language",
     kCheckBox, 0},
    {Ctl::Echo, kIdEchoCheck, L"BUTTON", L"Speakers mode (echo filter)", kCheckBox, 0},
    {Ctl::OneInterlocutor, kIdOneInterlocutorRadio, L"BUTTON", L"One interlocutor",
     WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 0},
    {Ctl::SeveralVoices, kIdSeveralVoicesRadio, L"BUTTON", L"Several (detect voices)",
     BS_AUTORADIOBUTTON, 0},
    {Ctl::SensitivityTrackbar, kIdSensitivityTrackbar, TRACKBAR_CLASSW, L"", kTrackbar, 0},
    {Ctl::SensitivityValue, 0, L"STATIC", L"60%", kLabel, 0},
    // One line: a text too long for it ends in "..." and shows whole in a tooltip.
    {Ctl::StatusLine, kIdStatusLine, L"STATIC", L"Starting the recognizer...",
     kLabel | SS_ENDELLIPSIS | SS_NOTIFY, 0},
    {Ctl::DownloadProgress, kIdDownloadProgress, PROGRESS_CLASSW, L"", PBS_SMOOTH, 0},
    {Ctl::RecognizedLabel, 0, L"STATIC", L"Recognized speech", kLabel, 0},
    {Ctl::RecognizedPanel, kIdRecognizedPanel, L"RICHEDIT50W", L"", kPanel, WS_EX_CLIENTEDGE},
    {Ctl::TranslationLabel, 0, L"STATIC", L"Translation", kLabel, 0},
    {Ctl::TranslationPanel, kIdTranslationPanel, L"RICHEDIT50W", L"", kPanel, WS_EX_CLIENTEDGE},
};

void set_font(HWND control, HFONT font) {
  if (control != nullptr) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void set_trackbar_range(HWND trackbar, int low, int high) {
  SendMessageW(trackbar, TBM_SETRANGEMIN, FALSE, low);
  SendMessageW(trackbar, TBM_SETRANGEMAX, TRUE, high);
}

void set_percent_range(HWND bar) { SendMessageW(bar, PBM_SETRANGE32, 0, 100); }

// Per-control set-up that must happen right after that control exists.
void after_created(const ControlSpec& entry, HWND control) {
  switch (entry.slot) {
    case Ctl::Spinner: SetTimer(g_window, kSpinnerTimerId, kSpinnerPeriodMs, nullptr); break;
    case Ctl::SessionsLabel: set_font(control, g_heading_font); break;
    case Ctl::SystemAudioLevel:
      set_percent_range(g_controls[slot(Ctl::MicrophoneLevel)]);
      set_percent_range(control);
      break;
    case Ctl::GainTrackbar: set_trackbar_range(control, -10, 30); break;
    case Ctl::StrengthTrackbar:
    case Ctl::SensitivityTrackbar: set_trackbar_range(control, 0, 100); break;
    case Ctl::DownloadProgress:
      set_percent_range(control);
      ShowWindow(control, SW_HIDE);
      break;
    default: break;
  }
}

// The panels' class comes from Msftedit.dll. Without it they are not created and the window goes
// on without them, but says so.
void load_rich_edit() {
  if (LoadLibraryW(L"Msftedit.dll") == nullptr) {
    window_state.startup_notices.push_back(rich_edit_missing_status(GetLastError()));
  }
}

// COM that another part of the process already set up as a multithreaded apartment on this thread
// (RPC_E_CHANGED_MODE) lists the output devices just as well.
void initialise_com() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(result) && result != RPC_E_CHANGED_MODE) {
    window_state.startup_notices.push_back(
        com_unavailable_status(static_cast<std::uint32_t>(result)));
  }
}

void create_controls(HINSTANCE instance) {
  for (const ControlSpec& entry : kControls) {
    if (entry.slot == Ctl::RecognizedPanel) load_rich_edit();
    HWND control =
        CreateWindowExW(entry.ex_style, entry.window_class, entry.caption,
                        WS_CHILD | WS_VISIBLE | entry.style, 0, 0, 10, 10, g_window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)), instance, nullptr);
    g_controls[slot(entry.slot)] = control;
    set_font(control, g_normal_font);
    after_created(entry, control);
  }
}

void set_up_panel(HWND panel, COLORREF background) {
  if (panel == nullptr) return;
  SendMessageW(panel, EM_LIMITTEXT, 2147483647, 0);
  SendMessageW(panel, EM_SETBKGNDCOLOR, 0, background);
  SendMessageW(panel, EM_SETREADONLY, TRUE, 0);
  CHARFORMAT2W format = {};
  format.cbSize = sizeof format;
  format.dwMask = CFM_SIZE | CFM_COLOR | CFM_FACE;
  format.yHeight = 280;
  format.crTextColor = RGB(30, 30, 30);
  lstrcpynW(format.szFaceName, L"Segoe UI", LF_FACESIZE);
  SendMessageW(panel, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
}

void finish_control_fonts_and_panels() {
  set_font(control(Ctl::RecognizedLabel), g_heading_font);
  set_font(control(Ctl::TranslationLabel), g_heading_font);
  set_font(control(Ctl::Swap), g_large_font);
  set_up_panel(control(Ctl::RecognizedPanel), RGB(255, 255, 255));
  set_up_panel(control(Ctl::TranslationPanel), RGB(238, 245, 255));
  recognized_panel.control = control(Ctl::RecognizedPanel);
  translation_panel.control = control(Ctl::TranslationPanel);
}

// The tooltip follows the mouse over the status line on its own (it subclasses the line); its
// text is asked for each time it is about to show (on_status_tip_text).
void add_status_tooltip(HINSTANCE instance) {
  HWND status = control(Ctl::StatusLine);
  if (status == nullptr) return;
  g_status_tip =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                      WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, g_window, nullptr, instance, nullptr);
  if (g_status_tip == nullptr) return;
  TTTOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = g_window;
  tool.uId = reinterpret_cast<UINT_PTR>(status);
  tool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(g_status_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(g_status_tip, TTM_SETMAXTIPWIDTH, 0, s(600));
}

// Whether the status line shows its whole text on its one line.
bool status_fits(HWND status, const wchar_t* text, int length) {
  RECT area{};
  GetClientRect(status, &area);
  HDC dc = GetDC(status);
  HGDIOBJ old_font =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)));
  SIZE extent{};
  GetTextExtentPoint32W(dc, text, length, &extent);
  SelectObject(dc, old_font);
  ReleaseDC(status, dc);
  return extent.cx <= area.right - area.left;
}

void on_status_tip_text(NMTTDISPINFOW* info) {
  static wchar_t text[1024];
  HWND status = control(Ctl::StatusLine);
  const int length = GetWindowTextW(status, text, static_cast<int>(std::size(text)));
  // A text that fits needs no tooltip; an empty one shows none.
  if (status_fits(status, text, length)) text[0] = L'\0';
  info->lpszText = text;
  info->hinst = nullptr;
}

void add_list_item(HWND list, const wchar_t* text, LPARAM data) {
  LRESULT index = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  if (index >= 0) SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
}

void fill_language_lists() {
  HWND speech = control(Ctl::SpeechLanguageList);
  HWND target = control(Ctl::TranslationLanguageList);
  add_list_item(speech, L"Auto", -1);
  add_list_item(target, L"No translation", -1);
  for (std::size_t i = 0; i < kLanguageCount; ++i) {
    const auto* name = reinterpret_cast<const wchar_t*>(kLanguages[i].name);
    add_list_item(speech, name, static_cast<LPARAM>(i));
    add_list_item(target, name, static_cast<LPARAM>(i));
  }
}

std::u16string to_u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// Runs after the settings are read, so the bootstrap passes the saved model choices to the worker.
void start_bootstrap_thread() {
  if (g_bootstrap_thread.joinable()) return;
  BootstrapInputs inputs;
  inputs.window = g_window;
  inputs.program_folder = to_u16(program_dir());
  inputs.speaker_model = worker_state.chosen_speaker_model;
  inputs.translation_model = worker_state.chosen_translation_model;
  inputs.notices = window_state.startup_notices;
  set_bootstrap_inputs(std::move(inputs));
  g_bootstrap_thread = std::thread(bootstrap_worker);
}

// The Sessions list reaches the window's session state, transcript and controls through these.
void attach_history() {
  HistoryWindow history;
  history.window = g_window;
  history.sessions_list = control(Ctl::SessionsList);
  history.status_line = control(Ctl::StatusLine);
  history.session_open = &window_state.session_open;
  history.selecting_by_program = &window_state.selecting_by_program;
  history.transcript_lines = &worker_state.transcript_lines;
  history.capture_running = [] { return capture_running(); };
  history.clear_transcript = [] { clear_transcript(g_window); };
  history.update_controls = [] { update_controls(); };
  set_history_window(history);
}

void on_create(HWND window, const CREATESTRUCTW* create) {
  g_window = window;
  g_focus_before_deactivation = nullptr;
  window_state.startup_notices.clear();
  install_capture_seams();
  g_dpi = screen_dpi();
  g_normal_font = make_font(11, FW_NORMAL);
  g_large_font = make_font(14, FW_NORMAL);
  g_heading_font = make_font(10, FW_SEMIBOLD);
  create_controls(create->hInstance);
  set_capture_window(
      CaptureWindow{window, control(Ctl::MicrophoneLevel), control(Ctl::SystemAudioLevel)});
  finish_control_fonts_and_panels();
  add_status_tooltip(create->hInstance);

  prepare_settings_file();
  fill_microphone_list(control(Ctl::MicrophoneList));
  SendMessageW(control(Ctl::MicrophoneList), CB_SETCURSEL, 0, 0);
  fill_language_lists();
  load_language_and_audio_settings();
  initialise_com();
  fill_output_device_list(control(Ctl::OutputDeviceList));
  SendMessageW(control(Ctl::OutputDeviceList), CB_SETCURSEL, 0, 0);
  load_output_device_setting();
  load_model_and_capture_settings();
  apply_audio_options(false);
  apply_capture_options(false);
  attach_history();
  connect_session_files_to_worker_state();
  set_session_save_observer(on_session_saving);
  load_history();
  update_controls();
  load_microphone_setting();
  start_bootstrap_thread();
}

// The client width of the narrowest window the size limit allows where the screen has room for it.
// A smaller screen lets the window go narrower still; only then do the rows make room.
int minimum_client_width() {
  RECT frame{0, 0, 0, 0};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(g_window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongW(g_window, GWL_EXSTYLE)));
  return minimum_track_size(g_dpi).width - (frame.right - frame.left);
}

void on_size(int width, int height) {
  const WindowLayout layout = layout_window(width, height, g_dpi, minimum_client_width());
  for (int i = 0; i < kControlCount; ++i) {
    if (g_controls[i] == nullptr) continue;
    const Placement& p = layout[i];
    MoveWindow(g_controls[i], p.x, p.y, p.width, p.height, TRUE);
  }
}

// GDI objects made for one drawing and released with it; the previous selections are restored.
class ScopedBrushPen {
 public:
  ScopedBrushPen(HDC dc, Rgb fill, Rgb outline)
      : dc_(dc),
        brush_(CreateSolidBrush(RGB(fill.r, fill.g, fill.b))),
        pen_(CreatePen(PS_SOLID, 1, RGB(outline.r, outline.g, outline.b))),
        old_brush_(SelectObject(dc, brush_)),
        old_pen_(SelectObject(dc, pen_)) {}
  ~ScopedBrushPen() {
    SelectObject(dc_, old_brush_);
    SelectObject(dc_, old_pen_);
    DeleteObject(brush_);
    DeleteObject(pen_);
  }
  ScopedBrushPen(const ScopedBrushPen&) = delete;
  ScopedBrushPen& operator=(const ScopedBrushPen&) = delete;

 private:
  HDC dc_;
  HBRUSH brush_;
  HPEN pen_;
  HGDIOBJ old_brush_;
  HGDIOBJ old_pen_;
};

COLORREF to_colorref(Rgb c) { return RGB(c.r, c.g, c.b); }
Box to_box(const RECT& r) { return Box{r.left, r.top, r.right, r.bottom}; }
RECT to_rect(const Box& b) { return RECT{b.left, b.top, b.right, b.bottom}; }

void draw_caption(HDC dc, HFONT font, Rgb colour, const wchar_t* text, RECT area, UINT align) {
  HGDIOBJ old_font = SelectObject(dc, font);
  int old_mode = SetBkMode(dc, TRANSPARENT);
  COLORREF old_colour = SetTextColor(dc, to_colorref(colour));
  DrawTextW(dc, text, -1, &area, DT_SINGLELINE | DT_VCENTER | align);
  SetTextColor(dc, old_colour);
  SetBkMode(dc, old_mode);
  SelectObject(dc, old_font);
}

void draw_record_button(const DRAWITEMSTRUCT& item) {
  const bool running = capture_running();
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const RECT& r = item.rcItem;
  const ButtonColors colours = record_button_colors(running, pressed, disabled);
  {
    ScopedBrushPen tools(item.hDC, colours.fill, colours.outline);
    RoundRect(item.hDC, r.left, r.top, r.right, r.bottom, s(10), s(10));
  }
  const Box mark = record_mark_box(to_box(r), g_dpi);
  if (running) {
    RECT square = to_rect(mark);
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    FillRect(item.hDC, &square, white);
    DeleteObject(white);
  } else {
    const MarkColors mark_colours = record_mark_colors(disabled);
    ScopedBrushPen tools(item.hDC, mark_colours.fill, mark_colours.outline);
    Ellipse(item.hDC, mark.left, mark.top, mark.right, mark.bottom);
  }
  draw_caption(item.hDC, g_large_font, colours.caption, running ? L"Stop" : L"Record",
               to_rect(record_caption_box(to_box(r), g_dpi)), DT_LEFT);
  if (item.itemState & ODS_FOCUS) {
    RECT focus = r;
    InflateRect(&focus, -s(3), -s(3));
    DrawFocusRect(item.hDC, &focus);
  }
}

void draw_spinner(const DRAWITEMSTRUCT& item) {
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const Rgb background{GetRValue(face), GetGValue(face), GetBValue(face)};
  for (const SpinnerDot& dot :
       spinner_dots(to_box(item.rcItem), window_state.spinner_phase, g_dpi, background)) {
    ScopedBrushPen tools(item.hDC, dot.color, dot.color);
    Ellipse(item.hDC, dot.x - dot.radius, dot.y - dot.radius, dot.x + dot.radius,
            dot.y + dot.radius);
  }
}

void draw_new_session_button(const DRAWITEMSTRUCT& item) {
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  const ButtonColors colours =
      new_session_colors(disabled, window_state.session_open || capture_running(), pressed);
  RECT r = item.rcItem;
  {
    ScopedBrushPen tools(item.hDC, colours.fill, colours.outline);
    RoundRect(item.hDC, r.left + 1, r.top + 1, r.right - 1, r.bottom - 1, s(10), s(10));
  }
  draw_caption(item.hDC, g_heading_font, colours.caption, L"+ New session", r, DT_CENTER);
  if (item.itemState & ODS_FOCUS) {
    RECT focus = r;
    InflateRect(&focus, -s(3), -s(3));
    DrawFocusRect(item.hDC, &focus);
  }
}

bool on_draw_item(const DRAWITEMSTRUCT* item) {
  switch (item->CtlID) {
    case kIdRecordButton: draw_record_button(*item); return true;
    case kIdSpinner: draw_spinner(*item); return true;
    case kIdNewSessionButton: draw_new_session_button(*item); return true;
    default: return false;
  }
}

// The default window procedure gives the focus to the window itself on activation, where the
// keyboard reaches no control: the control that had it before gets it back, or, at the first
// activation and when that control can no longer take it, the one the keyboard starts from.
void on_activate(WPARAM wparam) {
  if (LOWORD(wparam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(g_window, focus)) g_focus_before_deactivation = focus;
    return;
  }
  if (HIWORD(wparam) != 0) return;  // minimized
  HWND target = g_focus_before_deactivation;
  if (target == nullptr || !IsWindow(target) || !IsWindowEnabled(target) ||
      !IsWindowVisible(target)) {
    target = default_focus_control();
  }
  SetFocus(target);
}

// The size of the work area of the monitor the window is on; 0 x 0 when it cannot be read.
Size monitor_work_area(HWND window) {
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
  if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return Size{};
  return Size{info.rcWork.right - info.rcWork.left, info.rcWork.bottom - info.rcWork.top};
}

// The stated minimum where it fits in that work area: a window at 144 dpi may not be made smaller
// than the screen.
void on_get_min_max_info(HWND window, MINMAXINFO* info) {
  const Size minimum = fit_within(minimum_track_size(g_window != nullptr ? g_dpi : screen_dpi()),
                                  monitor_work_area(window));
  info->ptMinTrackSize.x = minimum.width;
  info->ptMinTrackSize.y = minimum.height;
}

// The item under a point of the Sessions list, or -1 for empty space. LB_ITEMFROMPOINT answers
// with the nearest item also below the last one, so the item's own rectangle decides.
int sessions_item_at(HWND list, POINT client_point) {
  LRESULT answer =
      SendMessageW(list, LB_ITEMFROMPOINT, 0, MAKELPARAM(client_point.x, client_point.y));
  if (HIWORD(answer) != 0) return -1;
  const int index = LOWORD(answer);
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  if (index < 0 || index >= count) return -1;
  RECT item_rect{};
  if (SendMessageW(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item_rect)) == LB_ERR) {
    return -1;
  }
  return PtInRect(&item_rect, client_point) ? index : -1;
}

void select_sessions_item(HWND list, int index) {
  window_state.selecting_by_program = true;
  SendMessageW(list, LB_SETCURSEL, index, 0);
  window_state.selecting_by_program = false;
}

void on_sessions_context_menu(HWND list, LPARAM position) {
  POINT screen{GET_X_LPARAM(position), GET_Y_LPARAM(position)};
  int item = -1;
  if (position == -1) {
    // Opened from the keyboard: the menu belongs to the selected entry, shown at the list's corner.
    item = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
    RECT list_rect{};
    GetWindowRect(list, &list_rect);
    screen = POINT{list_rect.left, list_rect.top};
  } else {
    POINT client = screen;
    ScreenToClient(list, &client);
    item = sessions_item_at(list, client);
    if (item >= 0) select_sessions_item(list, item);
  }
  const UINT on_item = item >= 0 ? MF_ENABLED : MF_GRAYED;
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING | on_item, kMenuOpenEntry, L"Open");
  AppendMenuW(menu, MF_STRING | on_item, kMenuDeleteEntry, L"Delete");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kMenuOpenHistoryFolder, L"Open the history folder");
  const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                                      screen.x, screen.y, 0, g_window, nullptr));
  DestroyMenu(menu);
  if (command == kMenuOpenHistoryFolder) {
    open_history_folder(L"history");
  } else if (command == kMenuDeleteEntry && item >= 0) {
    delete_history_entry(g_window, item);
  } else if (command == kMenuOpenEntry && item >= 0) {
    open_history_entry(item);
  }
}

// The spinner turns while the worker is starting or switching a model, and hides otherwise.
// Its own visibility bit decides, not IsWindowVisible, which also answers for the parent.
void on_spinner_timer() {
  HWND spinner = control(Ctl::Spinner);
  const bool shown = (GetWindowLongW(spinner, GWL_STYLE) & WS_VISIBLE) != 0;
  if (worker_state.startup_finished && !worker_state.switching_model) {
    if (shown) ShowWindow(spinner, SW_HIDE);
    return;
  }
  window_state.spinner_phase = (window_state.spinner_phase + 1) % 12;
  if (!shown) ShowWindow(spinner, SW_SHOWNA);
  InvalidateRect(spinner, nullptr, FALSE);
}

// A worker reached through a relay gets "Q" a moment after the pipe took it; closing the job at
// once would kill it before it read it. A worker that does not end within the wait is killed.
void wait_for_worker_to_quit() {
  constexpr DWORD kQuitWaitMs = 1000;
  const PROCESS_INFORMATION worker = worker_process_information();
  if (worker.hProcess != nullptr) WaitForSingleObject(worker.hProcess, kQuitWaitMs);
}

// How long closing waits for the translations still owed to finished lines.
constexpr std::uint64_t kCloseTranslationWaitMs = 3000;

void on_destroy() {
  stop_recording();
  wait_for_owed_translations(g_window, kCloseTranslationWaitMs);
  // No translation can be waited for any more: what was recognized is saved as it is.
  save_pending_finals(g_window);
  close_all_session_files();
  send_frame(kFrameQuit, nullptr, 0);
  wait_for_worker_to_quit();
  close_worker_job();
  PostQuitMessage(0);
}

}  // namespace

HWND main_window() { return g_window; }

HWND control(Ctl which) {
  const int index = slot(which);
  if (index < 0 || index >= kControlCount) return nullptr;
  return g_controls[index];
}

int window_dpi() { return g_dpi; }

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE: on_create(window, reinterpret_cast<const CREATESTRUCTW*>(lparam)); return 0;
    case WM_SIZE: on_size(LOWORD(lparam), HIWORD(lparam)); return 0;
    case WM_GETMINMAXINFO:
      on_get_min_max_info(window, reinterpret_cast<MINMAXINFO*>(lparam));
      return 0;
    case WM_ACTIVATE: on_activate(wparam); return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lparam);
      if (g_status_tip != nullptr && header->hwndFrom == g_status_tip &&
          header->code == TTN_GETDISPINFOW) {
        on_status_tip_text(reinterpret_cast<NMTTDISPINFOW*>(lparam));
        return 0;
      }
      break;
    }
    case WM_DRAWITEM:
      if (on_draw_item(reinterpret_cast<const DRAWITEMSTRUCT*>(lparam))) return TRUE;
      break;
    case WM_VKEYTOITEM:
      if (reinterpret_cast<HWND>(lparam) == control(Ctl::SessionsList) &&
          LOWORD(wparam) == VK_DELETE) {
        delete_history_entry(
            window, static_cast<int>(SendMessageW(control(Ctl::SessionsList), LB_GETCURSEL, 0, 0)));
        return -2;
      }
      return -1;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wparam) == control(Ctl::SessionsList) && !capture_running()) {
        on_sessions_context_menu(control(Ctl::SessionsList), lparam);
        return 0;
      }
      break;
    case WM_TIMER:
      if (wparam == static_cast<WPARAM>(kSpinnerTimerId)) {
        on_spinner_timer();
        on_worker_timer(window);
        report_dropped_audio();
        retry_unsaved_session_lines();
      }
      return 0;
    case WM_COMMAND:
      if (on_command(wparam, lparam)) return 0;
      break;
    case WM_HSCROLL: on_trackbar_scroll(wparam, lparam); return 0;
    case WM_AUDIO_LEVEL: on_audio_level(wparam, lparam); return 0;
    case WM_LOOPBACK_FAILED: on_loopback_failed(wparam, lparam); return 0;
    case WM_WORKER_LINE: on_worker_line(window, lparam); return 0;
    case WM_DESTROY: on_destroy(); return 0;
    default: break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool register_main_window_class(HINSTANCE instance) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.style = 0;
  window_class.lpfnWndProc = main_window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                     GetSystemMetrics(SM_CXICON),
                                                     GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kMainWindowClass;
  return RegisterClassExW(&window_class) != 0;
}

HWND create_main_window(HINSTANCE instance) {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const Size size = fit_within(initial_window_size(screen_dpi()),
                               Size{work.right - work.left, work.bottom - work.top});
  HWND window = CreateWindowExW(WS_EX_TOPMOST, kMainWindowClass, kMainWindowTitle,
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, size.width,
                                size.height, nullptr, nullptr, instance, nullptr);
  // The default position may leave a window that fills the work area partly off the screen.
  RECT placed{};
  if (window != nullptr && GetWindowRect(window, &placed)) {
    const int x =
        fit_start(placed.left, placed.right - placed.left, work.left, work.right - work.left);
    const int y =
        fit_start(placed.top, placed.bottom - placed.top, work.top, work.bottom - work.top);
    if (x != placed.left || y != placed.top) {
      SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  return window;
}

void set_small_icon(HWND window, HINSTANCE instance) {
  HICON small_icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  if (small_icon != nullptr) {
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
  }
}

int run_message_loop(HWND window) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

void detach_worker_threads() {
  detach_reader_thread();
  if (g_bootstrap_thread.joinable()) g_bootstrap_thread.detach();
}

}  // namespace colloquor
