#include "platform/x11/HX_X11ImageReader.h"

#include <xcb/shm.h>

#include <cstring>
#include <utility>

#include "log/HX_Log.h"
#include "platform/x11/HX_X11Connection.h"
#include "platform/x11/HX_X11ShmSegment.h"

HX_X11ImageReader::HX_X11ImageReader(HX_X11Connection* conn, bool allowShm)
    : m_pConn(conn), m_bShm(allowShm && conn->hasShm()) {}

HX_X11ImageReader::~HX_X11ImageReader() = default;

int HX_X11ImageReader::CheckLayout(uint8_t depth) {
  if (m_pConn->bitsPerPixel(depth) == 32) return 0;
  HX_LOG_ERROR("unsupported pixel layout: depth %u with %d bits per pixel", depth,
               m_pConn->bitsPerPixel(depth));
  return -2;
}

void HX_X11ImageReader::SwapToLsb(uint8_t* data, size_t bytes) const {
  // A big-endian server sends X, R, G, B; the frames want B, G, R, X.
  if (m_pConn->imageLsbFirst()) return;
  for (size_t i = 0; i + 3 < bytes; i += 4) {
    std::swap(data[i], data[i + 3]);
    std::swap(data[i + 1], data[i + 2]);
  }
}

int HX_X11ImageReader::read(xcb_drawable_t drawable, int32_t x, int32_t y, int32_t w, int32_t h,
                            HX_ImageView* image) {
  if (w <= 0 || h <= 0 || w > 0x7fff || h > 0x7fff) {
    HX_LOG_ERROR("invalid image size %dx%d", w, h);
    return -1;
  }
  xcb_connection_t* c = m_pConn->get();
  const size_t bytes = static_cast<size_t>(w) * h * 4;
  if (m_bShm && (!m_pSegment || m_pSegment->size() < bytes)) {
    m_pSegment.reset();
    m_pSegment = HX_X11ShmSegment::Create(m_pConn, bytes);
    // A server that cannot share memory with us is read through the socket.
    if (!m_pSegment) m_bShm = false;
  }
  if (m_bShm) {
    xcb_generic_error_t* rawError = nullptr;
    HX_XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(w), static_cast<uint16_t>(h), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, m_pSegment->id(), 0),
        &rawError));
    HX_XcbError error(rawError);
    if (!reply) {
      // A broken connection is the caller's to report, once.
      if (!m_pConn->broken())
        HX_LOG_ERROR("ShmGetImage of %dx%d at (%d, %d) failed (X error %d)", w, h, x, y,
                   error ? error->error_code : -1);
      return -1;
    }
    if (CheckLayout(reply->depth) != 0) return -2;
    SwapToLsb(m_pSegment->data(), bytes);
    *image = HX_ImageView{m_pSegment->data(), w, h, w * 4};
    return 0;
  }
  xcb_generic_error_t* rawError = nullptr;
  m_pReply.reset(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h),
                    ~0u),
      &rawError));
  HX_XcbError error(rawError);
  if (!m_pReply) {
    if (!m_pConn->broken())
      HX_LOG_ERROR("GetImage of %dx%d at (%d, %d) failed (X error %d)", w, h, x, y,
                 error ? error->error_code : -1);
    return -1;
  }
  if (CheckLayout(m_pReply->depth) != 0) return -2;
  int length = xcb_get_image_data_length(m_pReply.get());
  if (length < 0 || static_cast<size_t>(length) < bytes) {
    HX_LOG_ERROR("GetImage returned %d bytes for %dx%d", length, w, h);
    return -1;
  }
  uint8_t* data = xcb_get_image_data(m_pReply.get());
  SwapToLsb(data, bytes);
  *image = HX_ImageView{data, w, h, w * 4};
  return 0;
}

int HX_X11ImageReader::readInto(xcb_drawable_t drawable, int32_t x, int32_t y, int32_t w,
                                int32_t h, uint8_t* dst, int32_t dstPitch) {
  HX_ImageView image;
  int rc = read(drawable, x, y, w, h, &image);
  if (rc != 0) return rc;
  HX_CopyImageRows(image, dst, dstPitch);
  // The GetImage reply is not needed once copied.
  m_pReply.reset();
  return 0;
}
