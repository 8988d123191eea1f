#pragma once
// The display the X11 components connect to, named as the operator knows it.
// Any thread.
#include <string>

// DISPLAY, or "(unset)".
std::string HX_X11DisplayName();
