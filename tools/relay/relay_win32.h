// relay.exe's body: started in place of python.exe, it forwards its arguments, working folder and
// the worker's variables to the launcher on the Linux side, then copies its standard input to the
// launcher and the launcher's output and error bytes to its own, and ends with the worker's code.
#pragma once

namespace colloquor::relay {

int run_relay(int argc, wchar_t** argv);

}  // namespace colloquor::relay
