// A stand-in for the CUDA driver library: the four entry points the NVENC
// availability check calls, with the answers of one machine chosen at build
// time (FAKE_CUDA_INIT_RESULT, FAKE_CUDA_MAJOR, FAKE_CUDA_MINOR).
#ifndef FAKE_CUDA_INIT_RESULT
#define FAKE_CUDA_INIT_RESULT 0
#endif

extern "C" {
__attribute__((visibility("default"))) int cuInit(unsigned int) { return FAKE_CUDA_INIT_RESULT; }
__attribute__((visibility("default"))) int cuDeviceGetCount(int* count) {
  *count = 1;
  return 0;
}
__attribute__((visibility("default"))) int cuDeviceGet(int* device, int ordinal) {
  *device = ordinal;
  return ordinal == 0 ? 0 : 101;  // 101: invalid device
}
__attribute__((visibility("default"))) int cuDeviceComputeCapability(int* major, int* minor, int) {
  *major = FAKE_CUDA_MAJOR;
  *minor = FAKE_CUDA_MINOR;
  return 0;
}
}
