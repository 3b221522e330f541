#include "app/window_state.h"

namespace colloquor {

WindowState window_state;

}  // namespace colloquor
