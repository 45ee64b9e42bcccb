// The one window state record.
#include "ui/window_state.h"

WindowState windowState;
