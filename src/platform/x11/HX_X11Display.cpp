#include "platform/x11/HX_X11Display.h"

#include <cstdlib>

std::string HX_X11DisplayName() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr && *name != '\0' ? name : "(unset)";
}
