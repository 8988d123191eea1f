#pragma once
// Stand-ins for the X11 back-ends of the screen sources, plus a frame sink.
// The fake screen paints every pixel from its desktop coordinates, so a test
// can tell exactly which rectangle a frame was grabbed from.
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "capture/VrWindowList.h"
#include "core/VrCapturer.h"
#include "platform/x11/HX_ICursorSource.h"
#include "platform/x11/HX_IDamageWatcher.h"
#include "platform/x11/HX_IMonitorSource.h"
#include "platform/x11/HX_IScreenGrabber.h"
#include "platform/x11/HX_IWindowInfo.h"

// The pixel the fake screen shows at desktop (x, y): B = x, G = y, R = high bits, A = 0xEE.
inline uint32_t FakeScreenPixel(int32_t x, int32_t y) {
  const uint8_t px[4] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                         static_cast<uint8_t>(((x >> 8) & 0xF) | (((y >> 8) & 0xF) << 4)), 0xEE};
  uint32_t v;
  std::memcpy(&v, px, 4);
  return v;
}

inline uint32_t PixelAt(const VrMediaFramePtr& f, int32_t x, int32_t y) {
  uint32_t v;
  std::memcpy(&v, f->m_pData + (static_cast<size_t>(y) * f->m_iWidth + x) * 4, 4);
  return v;
}

// True when |f| shows the fake screen from desktop origin (ox, oy) (corners and centre).
inline bool ShowsScreenAt(const VrMediaFramePtr& f, int32_t ox, int32_t oy) {
  const int32_t w = f->m_iWidth;
  const int32_t h = f->m_iHeight;
  const int32_t pts[][2] = {{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}, {w / 2, h / 2}};
  for (const auto& p : pts) {
    if (PixelAt(f, p[0], p[1]) != FakeScreenPixel(ox + p[0], oy + p[1])) return false;
  }
  return true;
}

inline bool AllZero(const VrMediaFramePtr& f) {
  for (int32_t i = 0; i < f->m_iSize; ++i) {
    if (f->m_pData[i] != 0) return false;
  }
  return true;
}

class FakeGrabber : public HX_IScreenGrabber {
 public:
  struct State {
    int openRc = 0;
    int opens = 0;
    int closes = 0;
    int grabs = 0;
    bool failGrab = false;
    int32_t screenW = 1920;
    int32_t screenH = 1080;
    std::vector<HX_ScreenRect> monitors = {HX_ScreenRect{0, 0, 1920, 1080}};
    std::deque<int> deviceStates;  // consumed one per call; usable when empty
    int failRc = -3;               // what a failing grab returns
    int32_t lastX = 0, lastY = 0, lastW = 0, lastH = 0;
  };
  explicit FakeGrabber(State* state) : m_st(state) {}
  int open() override {
    m_st->opens++;
    return m_st->openRc;
  }
  void close() override { m_st->closes++; }
  int screenSize(int32_t* w, int32_t* h) override {
    *w = m_st->screenW;
    *h = m_st->screenH;
    return 0;
  }
  int monitorRect(int32_t index, HX_ScreenRect* rect) override {
    if (index < 0 || index >= static_cast<int32_t>(m_st->monitors.size())) return -3;
    *rect = m_st->monitors[index];
    return 0;
  }
  int grab(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t* dst) override {
    m_st->grabs++;
    m_st->lastX = x;
    m_st->lastY = y;
    m_st->lastW = w;
    m_st->lastH = h;
    if (m_st->failGrab) return m_st->failRc;
    for (int32_t r = 0; r < h; ++r) {
      for (int32_t c = 0; c < w; ++c) {
        const uint32_t v = FakeScreenPixel(x + c, y + r);
        std::memcpy(dst + (static_cast<size_t>(r) * w + c) * 4, &v, 4);
      }
    }
    return 0;
  }
  int deviceState() override {
    if (m_st->deviceStates.empty()) return kDeviceUsable;
    int s = m_st->deviceStates.front();
    m_st->deviceStates.pop_front();
    return s;
  }

 private:
  State* m_st;
};

class FakeWindowInfo : public HX_IWindowInfo {
 public:
  struct Window {
    bool exists = true;
    bool minimised = false;
    HX_ScreenRect outer;
    HX_ScreenRect client;
  };
  struct State {
    int openRc = 0;
    int listRc = 0;
    std::map<HX_WindowId, Window> windows;
    std::vector<HX_TopLevelWindow> topLevel;
  };
  explicit FakeWindowInfo(State* state) : m_st(state) {}
  int open() override { return m_st->openRc; }
  int listTopLevel(std::vector<HX_TopLevelWindow>* out) override {
    *out = m_st->topLevel;
    return m_st->listRc;
  }
  bool exists(HX_WindowId w) override {
    auto it = m_st->windows.find(w);
    return it != m_st->windows.end() && it->second.exists;
  }
  bool minimised(HX_WindowId w) override {
    auto it = m_st->windows.find(w);
    return it != m_st->windows.end() && it->second.minimised;
  }
  int rects(HX_WindowId w, HX_ScreenRect* outer, HX_ScreenRect* client) override {
    if (!exists(w)) return -2;
    *outer = m_st->windows[w].outer;
    *client = m_st->windows[w].client;
    return 0;
  }

 private:
  State* m_st;
};

class FakeWatcher : public HX_IDamageWatcher {
 public:
  struct Acquire {
    int code = kFrameTimeout;
    int32_t width = 0;
    int32_t height = 0;
    int32_t pitch = 0;
    uint8_t fill = 0;  // every byte of the image's rows; padding bytes are 0xCD
  };
  struct State {
    State() { desc.name = "fake-0"; }
    int openRc = 0;
    int initRc = 0;
    int monitorRc = 0;
    int duplicateRc = 0;
    int opens = 0;
    int closes = 0;
    HX_MonitorDesc desc;
    HX_ScreenRect rect{0, 0, 64, 32};
    std::deque<Acquire> script;  // consumed one per acquire; timeout when empty
    int acquires = 0;
  };
  explicit FakeWatcher(State* state) : m_st(state) {}
  int open() override {
    m_st->opens++;
    return m_st->openRc;
  }
  int initDevice(uint32_t* level) override {
    *level = 0x10001;
    return m_st->initRc;
  }
  int getMonitor(int32_t, HX_MonitorDesc* desc, HX_ScreenRect* rect) override {
    *desc = m_st->desc;
    *rect = m_st->rect;
    return m_st->monitorRc;
  }
  int duplicate() override { return m_st->duplicateRc; }
  int acquireNextFrame(int32_t, HX_ImageView* image) override {
    m_st->acquires++;
    if (m_st->script.empty()) return kFrameTimeout;
    Acquire a = m_st->script.front();
    m_st->script.pop_front();
    if (a.code == kFrameReady) {
      m_buffer.assign(static_cast<size_t>(a.pitch) * a.height, 0xCD);
      for (int32_t r = 0; r < a.height; ++r) {
        std::memset(m_buffer.data() + static_cast<size_t>(r) * a.pitch, a.fill,
                    static_cast<size_t>(a.width) * 4);
      }
      *image = HX_ImageView{m_buffer.data(), a.width, a.height, a.pitch};
    }
    return a.code;
  }
  void close() override { m_st->closes++; }

 private:
  State* m_st;
  std::vector<uint8_t> m_buffer;
};

// A pointer whose position and image the test sets; an image is a solid
// square of one premultiplied colour with its hot spot at its centre.
class FakeCursorSource : public HX_ICursorSource {
 public:
  struct State {
    int openRc = 0;
    int pollRc = 0;
    int opens = 0;
    int polls = 0;
    HX_CursorState now;
  };
  static std::shared_ptr<const HX_CursorImage> Square(int32_t side, uint32_t argb, uint32_t serial) {
    auto img = std::make_shared<HX_CursorImage>();
    img->width = img->height = side;
    img->xhot = img->yhot = side / 2;
    img->serial = serial;
    img->argb.assign(static_cast<size_t>(side) * side, argb);
    return img;
  }
  explicit FakeCursorSource(State* state) : m_st(state) {}
  int open() override {
    m_st->opens++;
    return m_st->openRc;
  }
  void close() override {}
  int poll(HX_CursorState* state) override {
    m_st->polls++;
    if (m_st->pollRc != 0) return m_st->pollRc;
    *state = m_st->now;
    return 0;
  }

 private:
  State* m_st;
};

class FakeMonitorSource : public HX_IMonitorSource {
 public:
  int rc = 0;
  std::vector<HX_MonitorDesc> monitors;
  int enumerate(std::vector<HX_MonitorDesc>* out) override {
    *out = monitors;
    return rc;
  }
};

// Collects the frames a source delivers; safe across the timer thread.
class FrameSink {
 public:
  void Attach(VrCapturer& source) {
    source.m_pCallback = &FrameSink::OnFrame;
    source.m_pContext = this;
  }
  static int OnFrame(VrMediaFramePtr frame, void* context) {
    auto* self = static_cast<FrameSink*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_frames.push_back(std::move(frame));
    return 0;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames.size();
  }
  VrMediaFramePtr At(size_t i) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < m_frames.size() ? m_frames[i] : nullptr;
  }
  VrMediaFramePtr Last() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames.empty() ? nullptr : m_frames.back();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<VrMediaFramePtr> m_frames;
};

// Makes |window| the window list's only entry and selects it.
inline void SelectWindow(HX_WindowId window) {
  FakeWindowInfo::State st;
  HX_TopLevelWindow w;
  w.id = window;
  w.title = "t";
  w.className = "c";
  w.visible = true;
  w.outerWidth = w.outerHeight = 10;
  st.topLevel = {w};
  FakeWindowInfo source(&st);
  VrWindowList::instance()->refill(source);
  VrWindowList::instance()->setSelectedIndex(0);
}
