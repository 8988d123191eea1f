#include "encode/VrQuickSyncLimits.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdio>
#include <cstring>

namespace {
constexpr uint32_t kMaxOldWidth = 1920;
constexpr uint32_t kMaxOldHeight = 1200;
constexpr int kLastLimitedClass = 3;  // classes 0 to 3 carry the size limit

int ClassForModel(uint32_t model) {
  switch (model) {
    case 28: case 38: case 39: case 53: case 54:
      return 1;
    case 42: case 45:
      return 2;
    case 58: case 62:
      return 3;
    case 55: case 74: case 77: case 90: case 93:
      return 4;
    case 76:
      return 5;
    case 60: case 63: case 69: case 70:
      return 6;
    default:
      return 7;
  }
}

std::string Format(const char* format, uint32_t a, uint32_t b = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}
}  // namespace

int VrProcessorClass(const std::string& vendor, uint32_t leaf1Eax) {
  if (vendor != "GenuineIntel") return 0;
  const uint32_t baseFamily = (leaf1Eax >> 8) & 0xF;
  const uint32_t extFamily = (leaf1Eax >> 20) & 0xFF;
  if (baseFamily + extFamily != 6) return 0;
  const uint32_t model = ((leaf1Eax >> 4) & 0xF) + ((leaf1Eax >> 16) & 0xF) * 16;
  return ClassForModel(model);
}

int VrCurrentProcessorClass() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return 0;
  char vendor[12];
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  unsigned int leaf1 = 0;
  if (__get_cpuid(1, &leaf1, &ebx, &ecx, &edx) == 0) return 0;
  return VrProcessorClass(std::string(vendor, sizeof vendor), leaf1);
#else
  return 0;
#endif
}

std::string VrQuickSyncSizeRefusal(int processorClass, uint32_t width, uint32_t height) {
  if (processorClass > kLastLimitedClass) return std::string();
  const bool wide = width > kMaxOldWidth;
  const bool tall = height > kMaxOldHeight;
  if (wide && tall) {
    return Format("QSV: Output resolution of %ux%u exceeds the maximum of 1920x1200 supported by "
                  "QuickSync on Sandy Bridge and Ivy Bridge based processors",
                  width, height);
  }
  if (wide) {
    return Format("QSV: Output resolution width of %u exceeds the maximum of 1920 supported by "
                  "QuickSync on Sandy Bridge and Ivy Bridge based processors",
                  width);
  }
  if (tall) {
    return Format("QSV: Output resolution height of %u exceeds the maximum of 1200 supported by "
                  "QuickSync on Sandy Bridge and Ivy Bridge based processors",
                  height);
  }
  return std::string();
}
