#pragma once
// The NDI runtime library loaded at run time, with the entry points the sender
// uses. Owns the library; the function pointers are valid while it lives and
// may be called from any thread the runtime allows.
#include <memory>
#include <string>
#include <vector>

#include "ndi/VrNDITypes.h"

class HX_DynamicLibrary;

class VrNDIRuntime {
 public:
  VrNDIRuntime();
  ~VrNDIRuntime();
  VrNDIRuntime(const VrNDIRuntime&) = delete;
  VrNDIRuntime& operator=(const VrNDIRuntime&) = delete;

  // Where the runtime is looked for, in order: the file named by
  // OSTREL_NDI_LIBRARY, libndi.so.6 under NDI_RUNTIME_DIR_V6, libndi.so.5 under
  // NDI_RUNTIME_DIR_V5 (each only when set), then libndi.so.6 and libndi.so.5
  // through the loader's search path.
  static std::vector<std::string> DefaultCandidates();

  // Loads the first candidate that opens and exports every entry point.
  // 0 on success, -1 when none opens, -2 when the ones that open lack an entry
  // point. Logs one line on failure (WARNING: NDI output is then unavailable).
  int Load(const std::vector<std::string>& candidates);
  bool IsLoaded() const { return m_pLibrary != nullptr; }
  // The candidate that was loaded; empty when none.
  const std::string& LoadedName() const;

  NDIlib_initialize_fn m_pfnInitialize = nullptr;
  NDIlib_destroy_fn m_pfnDestroy = nullptr;
  NDIlib_send_create_fn m_pfnSendCreate = nullptr;
  NDIlib_send_destroy_fn m_pfnSendDestroy = nullptr;
  NDIlib_send_send_video_v2_fn m_pfnSendVideoV2 = nullptr;
  NDIlib_util_send_send_audio_interleaved_16s_fn m_pfnSendAudioInterleaved16s = nullptr;

 private:
  void Clear();
  std::unique_ptr<HX_DynamicLibrary> m_pLibrary;
};
