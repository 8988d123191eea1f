#include "platform/dynlib/HX_DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

HX_DynamicLibrary::HX_DynamicLibrary(void* handle, std::string name)
    : m_pHandle(handle), m_strName(std::move(name)) {}

void HX_DynamicLibrary::Close(void* handle) { dlclose(handle); }

std::unique_ptr<HX_DynamicLibrary> HX_DynamicLibrary::Open(const std::string& name,
                                                           std::string* error) {
  // The loader keeps its error text per thread, so no lock is needed here.
  dlerror();
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr) {
      const char* reason = dlerror();
      *error = reason != nullptr ? reason : "unknown reason";
    }
    return nullptr;
  }
  return std::unique_ptr<HX_DynamicLibrary>(new HX_DynamicLibrary(handle, name));
}

void* HX_DynamicLibrary::Symbol(const char* symbol) const {
  if (!m_pHandle || symbol == nullptr) return nullptr;
  return dlsym(m_pHandle.get(), symbol);
}
