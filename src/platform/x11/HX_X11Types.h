#pragma once
// RAII handles for xcb objects. Included only by the X11 layer's own files.
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

struct HX_XcbDisconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using HX_XcbConnectionPtr = std::unique_ptr<xcb_connection_t, HX_XcbDisconnect>;

// xcb replies and errors are malloc'ed and released with free().
struct HX_XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HX_XcbReply = std::unique_ptr<T, HX_XcbFree>;
using HX_XcbError = std::unique_ptr<xcb_generic_error_t, HX_XcbFree>;
using HX_XcbEvent = std::unique_ptr<xcb_generic_event_t, HX_XcbFree>;
