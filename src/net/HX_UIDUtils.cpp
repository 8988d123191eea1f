#include "net/HX_UIDUtils.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

HX_UIDUtils* HX_UIDUtils::instance() {
  static HX_UIDUtils utils;
  return &utils;
}

HX_UIDUtils::HX_UIDUtils() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  std::srand(static_cast<unsigned>(ms));
  m_uiCounter.store(static_cast<uint32_t>(std::rand()));
}

uint64_t HX_UIDUtils::MakeObjectId() {
  HX_UIDUtils* utils = instance();
  const uint64_t seconds = static_cast<uint32_t>(std::time(nullptr));
  const uint32_t low = (static_cast<uint32_t>(std::rand() & 0xFF) << 24) | (utils->next() & 0xFFFFFFu);
  return (seconds << 32) | low;
}
