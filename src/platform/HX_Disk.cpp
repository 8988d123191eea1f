#include "platform/HX_Disk.h"

#include <sys/statvfs.h>

int64_t HX_FreeDiskBytes(const std::string& path) {
  struct statvfs st {};
  if (statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}
