#pragma once
// Finds the GPU render node of one maker, which is how the hardware encoders
// tell an Intel, AMD or other adapter apart on Linux. Reads sysfs only; safe
// from any thread.
#include <cstdint>
#include <string>

constexpr uint32_t kVrPciVendorIntel = 0x8086;
constexpr uint32_t kVrPciVendorAmd = 0x1002;

// The device path ("/dev/dri/renderD128") of the first render node, in name
// order, whose PCI vendor is |vendor|; empty when there is none. The roots
// are parameters so tests can describe a machine that is not this one.
std::string VrFindRenderNode(uint32_t vendor, const std::string& sysDrmDir = "/sys/class/drm",
                             const std::string& devDriDir = "/dev/dri");
