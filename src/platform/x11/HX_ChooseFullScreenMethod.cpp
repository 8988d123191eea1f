#include "platform/x11/HX_ChooseFullScreenMethod.h"

#include "platform/x11/HX_X11Connection.h"

int HX_ChooseFullScreenMethod() {
  std::unique_ptr<HX_X11Connection> conn = HX_X11Connection::Open();
  return conn && conn->hasDamage() && conn->hasShm() ? 2 : 1;
}
