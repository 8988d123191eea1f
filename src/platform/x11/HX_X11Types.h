#pragma once
// Owners of xcb objects (see core/HX_Handle.h). Included only by the X11
// layer's own files.
#include <xcb/xcb.h>

#include "core/HX_Handle.h"

using HX_XcbConnectionPtr = HX_Owned<xcb_connection_t, &xcb_disconnect>;

// xcb replies, errors and events are malloc'ed and released with free().
template <typename T>
using HX_XcbReply = HX_MallocPtr<T>;
using HX_XcbError = HX_MallocPtr<xcb_generic_error_t>;
using HX_XcbEvent = HX_MallocPtr<xcb_generic_event_t>;
