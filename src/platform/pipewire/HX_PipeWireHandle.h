#pragma once
// Owners of PipeWire objects (see core/HX_Handle.h) and the scoped lock of a
// thread loop. Included only by the PipeWire layer's own files.
#include <pipewire/pipewire.h>

#include "core/HX_Handle.h"

// Stops the loop's thread first when it still runs.
using HX_PipeWireLoopPtr = HX_Owned<pw_thread_loop, &pw_thread_loop_destroy>;
using HX_PipeWireContextPtr = HX_Owned<pw_context, &pw_context_destroy>;
inline void HX_FreePipeWireCore(pw_core* core) { pw_core_disconnect(core); }
using HX_PipeWireCorePtr = HX_Owned<pw_core, &HX_FreePipeWireCore>;
inline void HX_FreePipeWireRegistry(pw_registry* registry) {
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
}
using HX_PipeWireRegistryPtr = HX_Owned<pw_registry, &HX_FreePipeWireRegistry>;
// Disconnects first when the stream is still connected.
using HX_PipeWireStreamPtr = HX_Owned<pw_stream, &pw_stream_destroy>;

// Holds a thread loop's lock for one scope: every call into the core, the
// registry or the stream from outside the loop's thread is made under it.
// pw_thread_loop_wait inside the scope releases it while waiting. Used by the
// thread that made it.
class HX_PipeWireLoopLock {
 public:
  explicit HX_PipeWireLoopLock(pw_thread_loop* loop) : m_pLoop(loop) { pw_thread_loop_lock(m_pLoop); }
  ~HX_PipeWireLoopLock() { pw_thread_loop_unlock(m_pLoop); }
  HX_PipeWireLoopLock(const HX_PipeWireLoopLock&) = delete;
  HX_PipeWireLoopLock& operator=(const HX_PipeWireLoopLock&) = delete;

 private:
  pw_thread_loop* const m_pLoop;
};
