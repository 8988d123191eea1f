#include "platform/x11/HX_X11MonitorSource.h"

#include <xcb/randr.h>

#include <atomic>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"

std::unique_ptr<HX_IMonitorSource> HX_CreateMonitorSource() {
  return std::make_unique<HX_X11MonitorSource>();
}

int HX_X11MonitorSource::enumerate(std::vector<HX_MonitorDesc>* monitors) {
  monitors->clear();
  std::unique_ptr<HX_X11Connection> conn = HX_X11Connection::Open();
  if (!conn) return -1;
  return Enumerate(conn.get(), monitors, nullptr);
}

namespace {
int RotationDegrees(uint16_t rotation) {
  if (rotation & XCB_RANDR_ROTATION_ROTATE_90) return 90;
  if (rotation & XCB_RANDR_ROTATION_ROTATE_180) return 180;
  if (rotation & XCB_RANDR_ROTATION_ROTATE_270) return 270;
  return 0;
}

void AddWholeScreen(const xcb_screen_t* screen, std::vector<HX_MonitorDesc>* monitors,
                    std::vector<HX_ScreenRect>* rects) {
  HX_MonitorDesc desc;
  desc.name = "default";
  desc.modeWidth = screen->width_in_pixels;
  desc.modeHeight = screen->height_in_pixels;
  monitors->push_back(desc);
  if (rects) rects->push_back(HX_ScreenRect{0, 0, desc.modeWidth, desc.modeHeight});
}

// Appends every connected output of |outputs| that drives a CRTC with a mode.
void AddActiveOutputs(xcb_connection_t* c, const xcb_randr_output_t* outputs, int count,
                      xcb_timestamp_t configTime, std::vector<HX_MonitorDesc>* monitors,
                      std::vector<HX_ScreenRect>* rects) {
  std::vector<xcb_randr_get_output_info_cookie_t> cookies;
  cookies.reserve(count);
  for (int i = 0; i < count; ++i) cookies.push_back(xcb_randr_get_output_info(c, outputs[i], configTime));
  for (int i = 0; i < count; ++i) {
    HX_XcbReply<xcb_randr_get_output_info_reply_t> out(
        xcb_randr_get_output_info_reply(c, cookies[i], nullptr));
    if (!out || out->connection != XCB_RANDR_CONNECTION_CONNECTED || out->crtc == XCB_NONE) {
      continue;
    }
    HX_XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(
        xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, out->crtc, configTime), nullptr));
    if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0) continue;
    HX_MonitorDesc desc;
    desc.index = static_cast<int32_t>(monitors->size());
    desc.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(out.get())),
                     xcb_randr_get_output_info_name_length(out.get()));
    desc.x = crtc->x;
    desc.y = crtc->y;
    desc.rotation = RotationDegrees(crtc->rotation);
    // The CRTC reports the rotated extent; the mode is the unrotated one.
    const bool portrait = desc.rotation == 90 || desc.rotation == 270;
    desc.modeWidth = portrait ? crtc->height : crtc->width;
    desc.modeHeight = portrait ? crtc->width : crtc->height;
    monitors->push_back(desc);
    if (rects) {
      rects->push_back(HX_ScreenRect{crtc->x, crtc->y, crtc->x + crtc->width, crtc->y + crtc->height});
    }
  }
}

// Set while the whole screen stands in for monitors RandR does not report,
// so that the fallback is logged once per episode, not on every enumeration.
std::atomic<bool> g_wholeScreenFallback{false};
}  // namespace

int HX_X11MonitorSource::Enumerate(HX_X11Connection* conn, std::vector<HX_MonitorDesc>* monitors,
                                   std::vector<HX_ScreenRect>* rects) {
  monitors->clear();
  if (rects) rects->clear();
  xcb_screen_t* screen = conn->screen();
  if (!conn->hasRandr()) {
    AddWholeScreen(screen, monitors, rects);
    return 0;
  }
  xcb_connection_t* c = conn->get();
  // The cached configuration first; a server that has not probed its outputs
  // yet (a fresh one) reports none there until they are polled.
  HX_XcbReply<xcb_randr_get_screen_resources_current_reply_t> current(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, conn->root()), nullptr));
  if (current) {
    AddActiveOutputs(c, xcb_randr_get_screen_resources_current_outputs(current.get()),
                     xcb_randr_get_screen_resources_current_outputs_length(current.get()),
                     current->config_timestamp, monitors, rects);
  }
  if (monitors->empty()) {
    HX_XcbReply<xcb_randr_get_screen_resources_reply_t> polled(xcb_randr_get_screen_resources_reply(
        c, xcb_randr_get_screen_resources(c, conn->root()), nullptr));
    if (!current && !polled) {
      HX_LOG_ERROR("RandR screen resources cannot be read");
      return -2;
    }
    if (polled) {
      AddActiveOutputs(c, xcb_randr_get_screen_resources_outputs(polled.get()),
                       xcb_randr_get_screen_resources_outputs_length(polled.get()),
                       polled->config_timestamp, monitors, rects);
    }
  }
  if (!monitors->empty()) {
    if (g_wholeScreenFallback.exchange(false)) HX_LOG_WARNING("RandR reports active outputs again");
    return 0;
  }
  // A screen is there even when no output drives it: capture it whole.
  if (!g_wholeScreenFallback.exchange(true)) {
    HX_LOG_WARNING("RandR reports no active output; the whole screen (%dx%d) is monitor 0",
                   screen->width_in_pixels, screen->height_in_pixels);
  }
  AddWholeScreen(screen, monitors, rects);
  return 0;
}
