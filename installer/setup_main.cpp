// ColloquorSetup: the console installer. It takes no arguments; everything it needs travels inside
// it.
#include "installer/setup_win32.h"

int wmain() { return colloquor::setup::run_setup(colloquor::setup::SetupHooks{}); }
