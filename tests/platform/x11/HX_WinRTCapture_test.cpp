#include "platform/x11/HX_WinRTCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/x11/X11Pixels.h"
#include "platform/x11/X11TestScene.h"
#include "support/XvfbServer.h"

namespace {
// Keeps every image the component hands over.
struct Sink {
  std::mutex mutex;
  std::vector<std::unique_ptr<HX_WinRTImage, void (*)(HX_WinRTImage*)>> images;
  std::atomic<int> calls{0};

  static void OnImage(HX_WinRTImage* image, void* user) {
    auto* self = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->images.emplace_back(image, &winrt_image_release);
    self->calls++;
  }
  // True when the newest image is w x h and entirely |rgb|.
  bool NewestIs(int w, int h, uint32_t rgb) {
    std::lock_guard<std::mutex> lock(mutex);
    if (images.empty()) return false;
    const HX_WinRTImage& img = *images.back();
    return img.m_iWidth == w && img.m_iHeight == h && img.m_iPitch >= w * 4 &&
           X11Pixels::Block(img.m_pData.get(), img.m_iPitch, 0, 0, w, h, rgb);
  }
};

struct SessionFree {
  void operator()(HX_WinRTCaptureSession* s) const { winrt_capture_free(s); }
};
using Session = std::unique_ptr<HX_WinRTCaptureSession, SessionFree>;

class WinRTCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_x.ok()) << m_x.error();
    m_x.exportDisplay();
  }
  XvfbServer m_x;
};
}  // namespace

TEST_F(WinRTCaptureTest, CapturesTheWindowsOwnPixelsWhileCovered) {
  X11TestScene s(m_x.display());
  uint32_t target = s.createApp(100, 100, 160, 120, 0xFF0000, "target");
  s.createApp(80, 80, 300, 300, 0x0000FF, "cover");  // hides the target completely
  ASSERT_TRUE(winrt_capture_supported());
  Sink sink;
  Session session(winrt_capture_init(target, &Sink::OnImage, &sink));
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.NewestIs(160, 120, 0xFF0000); }));

  s.fill(target, 0x00FF00);  // repainted under the cover
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.NewestIs(160, 120, 0x00FF00); }));

  s.moveResize(target, 100, 100, 90, 70);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.NewestIs(90, 70, 0x00FF00); }));

  session.reset();  // no callback after free returns
  const int calls = sink.calls.load();
  s.fill(target, 0x123456);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sink.calls.load(), calls);
}

TEST_F(WinRTCaptureTest, AStaticWindowYieldsOneImage) {
  X11TestScene s(m_x.display());
  uint32_t target = s.createApp(0, 0, 64, 64, 0x808080, "still");
  Sink sink;
  Session session(winrt_capture_init(target, &Sink::OnImage, &sink));
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.calls.load() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The damage of the redirection itself may add one more; nothing beyond.
  EXPECT_LE(sink.calls.load(), 2);
}

TEST_F(WinRTCaptureTest, RefusesWhatItCannotCapture) {
  Sink sink;
  EXPECT_EQ(winrt_capture_init(0, &Sink::OnImage, &sink), nullptr);
  EXPECT_EQ(winrt_capture_init(0x7ffffff, &Sink::OnImage, &sink), nullptr);  // no such window
  X11TestScene s(m_x.display());
  uint32_t target = s.createApp(0, 0, 10, 10, 0, "t");
  EXPECT_EQ(winrt_capture_init(target, nullptr, &sink), nullptr);
  winrt_capture_free(nullptr);
  winrt_image_release(nullptr);
  EXPECT_EQ(sink.calls.load(), 0);
}

TEST_F(WinRTCaptureTest, DestroyedWindowEndsImagesQuietly) {
  X11TestScene s(m_x.display());
  uint32_t target = s.createApp(0, 0, 32, 32, 0xFFFFFF, "doomed");
  Sink sink;
  Session session(winrt_capture_init(target, &Sink::OnImage, &sink));
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(X11TestScene::waitFor([&] { return sink.calls.load() >= 1; }));
  s.destroy(target);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int calls = sink.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sink.calls.load(), calls);
}

TEST(WinRTCaptureSupport, NeedsADisplayWithComposite) {
  {
    XvfbServer::Options o;
    o.extraArgs = {"-extension", "Composite"};
    XvfbServer x(o);
    ASSERT_TRUE(x.ok()) << x.error();
    x.exportDisplay();
    EXPECT_FALSE(winrt_capture_supported());
  }
  setenv("DISPLAY", ":65000", 1);  // nothing listens there
  EXPECT_FALSE(winrt_capture_supported());
}
