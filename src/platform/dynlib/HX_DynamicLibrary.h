#pragma once
// One shared library loaded at run time. Owns the handle and unloads it when
// destroyed; symbols taken from it are valid only while it lives. Open and
// Symbol are safe to call from any thread.
#include <memory>
#include <string>

#include "core/HX_Handle.h"

class HX_DynamicLibrary {
 public:
  HX_DynamicLibrary(const HX_DynamicLibrary&) = delete;
  HX_DynamicLibrary& operator=(const HX_DynamicLibrary&) = delete;

  // Loads |name| (a path, or a file name searched the usual way) with all
  // symbols resolved now. Returns null when it cannot be loaded and, when
  // |error| is given, puts the loader's reason there. Logs nothing: absence is
  // an expected outcome for optional runtimes.
  static std::unique_ptr<HX_DynamicLibrary> Open(const std::string& name,
                                                 std::string* error = nullptr);

  // The address of |symbol|, or null when the library does not export it.
  void* Symbol(const char* symbol) const;

  const std::string& Name() const { return m_strName; }

 private:
  static void Close(void* handle);
  using HandlePtr = HX_Owned<void, &HX_DynamicLibrary::Close>;

  HX_DynamicLibrary(void* handle, std::string name);

  HandlePtr m_pHandle;
  std::string m_strName;
};
