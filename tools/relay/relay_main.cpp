// relay.exe: named as the interpreter in [paths] python=, so that Parlivo under Wine starts the
// worker on the Linux side. See tools/relay/README.md.
#include <windows.h>

#include "tools/relay/relay_win32.h"

int wmain(int argc, wchar_t** argv) {
  // ExitProcess rather than return: the input thread may still be blocked in its read.
  ExitProcess(static_cast<UINT>(colloquor::relay::run_relay(argc, argv)));
}
