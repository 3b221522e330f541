// How much one panel operation costs as the transcript grows: appending a finished line to a panel
// that holds 0, 1 000 and 10 000 lines, and replacing an unfinished line below 10 000 finished
// ones, in microseconds per operation; and the process's private memory with 10 000 lines in each
// of two panels. Run under Wine: wine panel_wine_bench.exe [repetitions]
#include <windows.h>
#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transcript/panel_win32.h"

using namespace colloquor;

namespace {

double now_us() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// A panel set up as the main window sets up its two panels.
HWND make_panel(HWND host, int y, COLORREF background) {
  HWND control = CreateWindowExW(
      WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"",
      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 10, y, 874,
      303, host, nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, EM_LIMITTEXT, 2147483647, 0);
  SendMessageW(control, EM_SETBKGNDCOLOR, 0, background);
  CHARFORMAT2W base{};
  base.cbSize = sizeof(base);
  base.dwMask = CFM_SIZE | CFM_COLOR | CFM_FACE;
  base.yHeight = 280;
  base.crTextColor = RGB(30, 30, 30);
  wcscpy(base.szFaceName, L"Segoe UI");
  SendMessageW(control, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&base));
  return control;
}

PanelLine sample_line(int i) {
  static const char16_t* const texts[] = {
      u"I think we should move the meeting to Thursday afternoon.",
      u"That works for me, but let me check with the rest of the team first.",
      u"Давайте обсудим это подробнее на следующей неделе.",
      u"Okay.",
  };
  return PanelLine{i % 2, 1 + (i / 2) % 3, true, texts[i % 4]};
}

void fill_to(TranscriptPanel& panel, int count) {
  for (int i = static_cast<int>(panel.finals.size()); i < count; ++i)
    append_final(panel, sample_line(i));
  pump();
}

// Figures of single operations: the median resists the other processes of a shared machine.
struct Figures {
  double median = 0;
  double mean = 0;
};

Figures summarize(std::vector<double> samples) {
  Figures f;
  if (samples.empty()) return f;
  for (double s : samples) f.mean += s;
  f.mean /= static_cast<double>(samples.size());
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  f.median = samples[samples.size() / 2];
  return f;
}

// Appends `reps` lines one by one from the panel's current size (or to an emptied panel).
Figures time_appends(TranscriptPanel& panel, int reps, bool clear_first = false) {
  std::vector<double> samples;
  for (int i = 0; i < reps; ++i) {
    if (clear_first) clear_panel(panel);
    const PanelLine line = sample_line(static_cast<int>(panel.finals.size()));
    const double t0 = now_us();
    append_final(panel, line);
    samples.push_back(now_us() - t0);
  }
  return summarize(samples);
}

// Appends microphone lines while the other side's unfinished line stays shown below them, so
// every append also rewrites that unfinished line.
Figures time_appends_above_partial(TranscriptPanel& panel, int reps) {
  set_partial(panel, 1, PanelLine{1, 2, true, u"the other side is still talking"});
  std::vector<double> samples;
  for (int i = 0; i < reps; ++i) {
    const PanelLine line{0, 0, true, u"I think we should move the meeting to Thursday afternoon."};
    const double t0 = now_us();
    append_final(panel, line);
    samples.push_back(now_us() - t0);
  }
  drop_partial(panel, 1);
  return summarize(samples);
}

// Replaces channel 1's unfinished line `reps` times, as a growing partial text does.
Figures time_partials(TranscriptPanel& panel, int reps) {
  std::u16string text = u"so what I was trying to say is that";
  std::vector<double> samples;
  for (int i = 0; i < reps; ++i) {
    text += u" more";
    const PanelLine line{1, 2, true, text};
    const double t0 = now_us();
    set_partial(panel, 1, line);
    samples.push_back(now_us() - t0);
  }
  return summarize(samples);
}

void report(const char* what, const Figures& f) {
  std::printf("  %-58s median %8.1f  mean %8.1f\n", what, f.median, f.mean);
}

// Committed private memory of this process, summed over its address space (Wine does not fill
// in the PrivateUsage counter).
std::size_t private_bytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (const char* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
       at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (info.RegionSize == 0) break;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const int lines = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 10000;
  LoadLibraryW(L"Msftedit.dll");
  HWND host = CreateWindowExW(0, L"STATIC", L"panel benchmark", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                              0, 920, 760, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  TranscriptPanel recognized, translation;
  recognized.control = make_panel(host, 10, RGB(255, 255, 255));
  translation.control = make_panel(host, 330, RGB(238, 245, 255));
  pump();
  const std::size_t memory_before = private_bytes();
  char label[128];

  std::printf(
      "transcript panel in a rich-edit control, view at the end; microseconds per operation\n");
  report("append finished line, panel holding 0 lines", time_appends(recognized, reps, true));
  clear_panel(recognized);
  set_partial(recognized, 0, PanelLine{0, 0, true, u"unfinished line of the microphone"});
  report("replace unfinished line, 0 finished lines", time_partials(recognized, reps));
  clear_panel(recognized);
  report("append finished line above an unfinished one, 0 lines",
         time_appends_above_partial(recognized, reps));
  clear_panel(recognized);

  fill_to(recognized, 1000);
  report("append finished line, panel holding 1000 lines", time_appends(recognized, reps));
  fill_to(recognized, 1000 + reps);  // keep the next figure at its size

  const double fill_start = now_us();
  fill_to(recognized, lines);
  const double fill_seconds = (now_us() - fill_start) / 1e6;
  std::snprintf(label, sizeof label, "append finished line, panel holding %d lines", lines);
  report(label, time_appends(recognized, reps));
  std::snprintf(label, sizeof label, "replace unfinished line, %d finished lines", lines);
  report(label, time_partials(recognized, reps));
  std::snprintf(label, sizeof label, "append finished line above an unfinished one, %d lines",
                lines);
  report(label, time_appends_above_partial(recognized, reps));

  // A reader who scrolled up: nothing moves.
  SendMessageW(static_cast<HWND>(recognized.control), WM_VSCROLL, SB_TOP, 0);
  pump();
  report("append finished line, view scrolled up", time_appends(recognized, reps));
  report("replace unfinished line, view scrolled up", time_partials(recognized, reps));
  std::printf("  (growing the panel to %d lines took %.1f s)\n", lines, fill_seconds);

  fill_to(translation, static_cast<int>(recognized.finals.size()));
  const std::size_t memory_after = private_bytes();
  std::printf(
      "process memory (private committed): %.1f MB with empty panels, %.1f MB with %zu + %zu "
      "lines\n",
      memory_before / 1048576.0, memory_after / 1048576.0, recognized.finals.size(),
      translation.finals.size());
  DestroyWindow(host);
  return 0;
}
