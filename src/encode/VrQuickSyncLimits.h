#pragma once
// The processor generations whose QuickSync encoder cannot take pictures
// larger than 1920 x 1200, told apart through CPUID. Pure functions except
// VrCurrentProcessorClass; safe from any thread.
#include <cstdint>
#include <string>

// Processor class from the CPUID vendor text (leaf 0: EBX, EDX, ECX as
// twelve characters) and leaf 1's EAX: 0 for anything but a family-6 Intel
// processor, 1 to 7 by model (2 Sandy Bridge, 3 Ivy Bridge, 6 Haswell, 7 any
// later or unknown model).
int VrProcessorClass(const std::string& vendor, uint32_t leaf1Eax);

// The class of the processor this runs on (0 where there is no CPUID).
int VrCurrentProcessorClass();

// Empty when QuickSync on a processor of |processorClass| takes a
// |width| x |height| picture; otherwise the warning that says why not.
std::string VrQuickSyncSizeRefusal(int processorClass, uint32_t width, uint32_t height);
