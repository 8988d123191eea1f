#pragma once
// Owners of sd-bus handles: the bus connection (flushed and closed on
// release), a message, a match or vtable slot, and an error record. Used by
// one thread at a time, like the connection they belong to.
#include <systemd/sd-bus.h>

#include <cstring>

#include "core/HX_Handle.h"

inline void HX_SdBusCloseUnref(sd_bus* bus) { sd_bus_flush_close_unref(bus); }
inline void HX_SdBusMessageUnref(sd_bus_message* message) { sd_bus_message_unref(message); }
inline void HX_SdBusSlotUnref(sd_bus_slot* slot) { sd_bus_slot_unref(slot); }

using HX_SdBusPtr = HX_Owned<sd_bus, &HX_SdBusCloseUnref>;
using HX_SdBusMessagePtr = HX_Owned<sd_bus_message, &HX_SdBusMessageUnref>;
using HX_SdBusSlotPtr = HX_Owned<sd_bus_slot, &HX_SdBusSlotUnref>;

// An sd_bus_error filled by a failed call; freed when it goes out of scope.
class HX_SdBusError {
 public:
  HX_SdBusError() = default;
  ~HX_SdBusError() { sd_bus_error_free(&m_stError); }
  HX_SdBusError(const HX_SdBusError&) = delete;
  HX_SdBusError& operator=(const HX_SdBusError&) = delete;

  sd_bus_error* get() { return &m_stError; }
  bool has(const char* name) const { return sd_bus_error_has_name(&m_stError, name) > 0; }
  // The bus's error text, or strerror of |code| when the call failed locally.
  const char* text(int code) const {
    if (m_stError.message != nullptr) return m_stError.message;
    if (m_stError.name != nullptr) return m_stError.name;
    return strerror(-code);
  }

 private:
  sd_bus_error m_stError = SD_BUS_ERROR_NULL;
};
