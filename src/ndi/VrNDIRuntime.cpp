#include "ndi/VrNDIRuntime.h"

#include <cstdlib>

#include "log/HX_Log.h"
#include "platform/dynlib/HX_DynamicLibrary.h"

namespace {
const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string JoinPath(const std::string& dir, const char* file) {
  if (!dir.empty() && dir.back() == '/') return dir + file;
  return dir + "/" + file;
}

template <typename Fn>
bool Resolve(const HX_DynamicLibrary& lib, const char* name, Fn* out, std::string* missing) {
  *out = reinterpret_cast<Fn>(lib.Symbol(name));
  if (*out == nullptr && missing->empty()) *missing = name;
  return *out != nullptr;
}
}  // namespace

VrNDIRuntime::VrNDIRuntime() = default;
VrNDIRuntime::~VrNDIRuntime() = default;

std::vector<std::string> VrNDIRuntime::DefaultCandidates() {
  std::vector<std::string> names;
  if (const char* file = Env("OSTREL_NDI_LIBRARY")) names.emplace_back(file);
  if (const char* dir = Env("NDI_RUNTIME_DIR_V6")) names.push_back(JoinPath(dir, "libndi.so.6"));
  if (const char* dir = Env("NDI_RUNTIME_DIR_V5")) names.push_back(JoinPath(dir, "libndi.so.5"));
  names.emplace_back("libndi.so.6");
  names.emplace_back("libndi.so.5");
  return names;
}

const std::string& VrNDIRuntime::LoadedName() const {
  static const std::string kNone;
  return m_pLibrary ? m_pLibrary->Name() : kNone;
}

void VrNDIRuntime::Clear() {
  m_pfnInitialize = nullptr;
  m_pfnDestroy = nullptr;
  m_pfnSendCreate = nullptr;
  m_pfnSendDestroy = nullptr;
  m_pfnSendVideoV2 = nullptr;
  m_pfnSendAudioInterleaved16s = nullptr;
  m_pLibrary.reset();
}

int VrNDIRuntime::Load(const std::vector<std::string>& candidates) {
  Clear();
  std::string lastError = "no candidate names";
  bool anyOpened = false;
  for (const std::string& name : candidates) {
    std::string error;
    std::unique_ptr<HX_DynamicLibrary> lib = HX_DynamicLibrary::Open(name, &error);
    if (!lib) {
      lastError = error;
      continue;
    }
    anyOpened = true;
    std::string missing;
    bool ok = Resolve(*lib, "NDIlib_initialize", &m_pfnInitialize, &missing);
    ok = Resolve(*lib, "NDIlib_destroy", &m_pfnDestroy, &missing) && ok;
    ok = Resolve(*lib, "NDIlib_send_create", &m_pfnSendCreate, &missing) && ok;
    ok = Resolve(*lib, "NDIlib_send_destroy", &m_pfnSendDestroy, &missing) && ok;
    ok = Resolve(*lib, "NDIlib_send_send_video_v2", &m_pfnSendVideoV2, &missing) && ok;
    ok = Resolve(*lib, "NDIlib_util_send_send_audio_interleaved_16s",
                 &m_pfnSendAudioInterleaved16s, &missing) && ok;
    if (ok) {
      m_pLibrary = std::move(lib);
      return 0;
    }
    lastError = name + " lacks " + missing;
    Clear();
  }
  HX_LOG_WARNING("NDI runtime not found, NDI output is unavailable (%s)", lastError.c_str());
  return anyOpened ? -2 : -1;
}
