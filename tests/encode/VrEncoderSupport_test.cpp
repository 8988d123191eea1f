#include "encode/VrEncoderSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "encode/VrRenderNode.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// A sysfs drm directory describing render nodes of the given PCI vendors.
class FakeDrm {
 public:
  void AddNode(const std::string& name, const std::string& vendorText) {
    std::filesystem::create_directories(m_dir.file(name + "/device"));
    m_dir.write(name + "/device/vendor", vendorText);
  }
  void AddOther(const std::string& name) { std::filesystem::create_directories(m_dir.file(name)); }
  const std::string& path() const { return m_dir.path(); }

 private:
  TempDir m_dir;
};

}  // namespace

TEST(VrEncoderSupport, CudaDriverAnswersMapToTheCheckCodes) {
  struct Case {
    const char* library;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {OSTREL_FAKE_CUDA_USABLE, kVrNvencUsable, "compute capability 7.5"},
      {OSTREL_FAKE_CUDA_OLD, kVrNvencOldDevice, "GPU 0 does not have NVENC capabilities (compute capability 2.1)"},
      {OSTREL_FAKE_CUDA_NOINIT, kVrNvencNoDriver, "cuInit error:0x64"},
      {"/nonexistent/libcuda.so.1", kVrNvencNoDriver, "dlopen \"/nonexistent/libcuda.so.1\" failed"},
      // A library that loads but is no CUDA driver.
      {"libm.so.6", kVrNvencNoDriver, "Failed to find required function \"cuInit\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    LogCapture log;
    EXPECT_EQ(VrProbeCudaDriver(c.library), c.code);
    EXPECT_EQ(log.count(c.line), 1);
  }
}

TEST(VrEncoderSupport, RenderNodeIsFoundByVendorInNameOrder) {
  FakeDrm drm;
  drm.AddOther("card0");
  drm.AddOther("renderD127");                // no device/vendor file
  drm.AddNode("renderD130", "0x8086\n");
  drm.AddNode("renderD129", "0x1002\n");
  drm.AddNode("renderD128", "garbage\n");
  drm.AddNode("renderD131", "0x1002\n");
  EXPECT_EQ(VrFindRenderNode(kVrPciVendorAmd, drm.path(), "/dev/dri"), "/dev/dri/renderD129");
  EXPECT_EQ(VrFindRenderNode(kVrPciVendorIntel, drm.path(), "/dev/x"), "/dev/x/renderD130");
  EXPECT_EQ(VrFindRenderNode(0x10de, drm.path()), "");
  EXPECT_EQ(VrFindRenderNode(kVrPciVendorAmd, drm.path() + "/missing"), "");
}

TEST(VrEncoderSupport, QuickSyncNeedsAnIntelRenderNode) {
  FakeDrm drm;
  drm.AddNode("renderD128", "0x1002");
  LogCapture log;
  EXPECT_EQ(VrProbeQuickSync(drm.path()), kVrHwEncoderAbsent);
  EXPECT_EQ(log.count("Encoder.QSV.No HardwareSupport"), 1);
  drm.AddNode("renderD129", "0x8086");
  EXPECT_EQ(VrProbeQuickSync(drm.path()), kVrHwEncoderUsable);
  EXPECT_TRUE(log.contains("renderD129"));
}

TEST(VrEncoderSupport, AmdNeedsARenderNodeThatOpensWithVaapi) {
  FakeDrm drm;
  TempDir dev;  // the device file is missing, as on a machine without /dev/dri
  LogCapture log;
  EXPECT_EQ(VrProbeAmd(drm.path(), dev.path()), kVrHwEncoderAbsent);
  EXPECT_EQ(log.count("Failed to load the AMD VA-API render node (none found)"), 1);
  EXPECT_EQ(log.count("initialization failed"), 1);

  log.clear();
  drm.AddNode("renderD128", "0x1002");
  EXPECT_EQ(VrProbeAmd(drm.path(), dev.path()), kVrHwEncoderAbsent);
  EXPECT_EQ(log.count("Failed to load " + dev.path() + "/renderD128"), 1);
  EXPECT_EQ(log.count(dev.path() + "/renderD128 initialization failed"), 1);
  EXPECT_EQ(log.count("Successfully loaded"), 0);
}

namespace {
// Runs the three checks twice in a fresh process and returns what went wrong
// ("" when nothing did).
std::string CheckTwiceOnThisMachine() {
  std::string wrong;
  auto expect = [&wrong](bool ok, const char* what) {
    if (!ok) wrong += std::string(what) + "\n";
  };
  LogCapture log;
  expect(VrCheckNvencSupport() == kVrNvencNoDriver, "NVENC code");
  expect(VrCheckQuickSyncSupport() == kVrHwEncoderAbsent, "QuickSync code");
  expect(VrCheckAmdSupport() == kVrHwEncoderAbsent, "AMD code");
  expect(log.count("NVENC is not offered: dlopen \"libcuda.so.1\" failed") == 1, "NVENC line");
  expect(log.count("Encoder.QSV.No HardwareSupport") == 1, "QuickSync line");
  expect(log.count("Failed to load the AMD VA-API render node (none found)") == 1, "AMD line");
  const size_t lines = log.lines().size();
  expect(VrCheckNvencSupport() == kVrNvencNoDriver, "NVENC code again");
  expect(VrCheckQuickSyncSupport() == kVrHwEncoderAbsent, "QuickSync code again");
  expect(VrCheckAmdSupport() == kVrHwEncoderAbsent, "AMD code again");
  expect(log.lines().size() == lines, "a second call probed again");
  return wrong;
}
}  // namespace

// This machine has no GPU, no /dev/dri and no CUDA driver: every check says
// unavailable with its line, and probes only once per process. A fresh
// process, because other tests here may have asked already.
TEST(VrEncoderSupportDeathTest, ChecksOnThisMachineSayUnavailableOnceAndRemember) {
  if (std::filesystem::exists("/dev/dri")) GTEST_SKIP() << "this machine has a GPU";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string wrong = CheckTwiceOnThisMachine();
        std::fprintf(stderr, "%s", wrong.c_str());
        std::exit(wrong.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
