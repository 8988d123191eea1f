#pragma once
// Owners of PulseAudio objects (see core/HX_Handle.h) and the scoped lock of a
// threaded main loop. Included only by the Pulse layer's own files.
#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include "core/HX_Handle.h"

// Stops the loop's thread first when it still runs.
inline void HX_FreePulseLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_free(loop); }
// Callbacks are cleared first, so none reaches an owner that is going away.
inline void HX_FreePulseContext(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}
inline void HX_FreePulseStream(pa_stream* stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

using HX_PulseLoopPtr = HX_Owned<pa_threaded_mainloop, &HX_FreePulseLoop>;
using HX_PulseContextPtr = HX_Owned<pa_context, &HX_FreePulseContext>;
using HX_PulseStreamPtr = HX_Owned<pa_stream, &HX_FreePulseStream>;
using HX_PulseOperationPtr = HX_Owned<pa_operation, &pa_operation_unref>;

// Holds a threaded main loop's lock for one scope: every call into the
// context or stream from outside the loop's thread is made under it. The lock
// is recursive, and pa_threaded_mainloop_wait inside the scope releases it
// while waiting. Used by the thread that made it.
class HX_PulseLoopLock {
 public:
  explicit HX_PulseLoopLock(pa_threaded_mainloop* loop) : m_pLoop(loop) {
    pa_threaded_mainloop_lock(m_pLoop);
  }
  ~HX_PulseLoopLock() { pa_threaded_mainloop_unlock(m_pLoop); }
  HX_PulseLoopLock(const HX_PulseLoopLock&) = delete;
  HX_PulseLoopLock& operator=(const HX_PulseLoopLock&) = delete;

 private:
  pa_threaded_mainloop* const m_pLoop;
};
