#pragma once
// The meeting point of the desktop's screen-cast portal and the PipeWire
// screen source: what the source asks for, what the portal grants, and the
// interface of a portal session. Plain data plus one interface, so the source
// can be tested with a scripted portal and the portal without a source.
#include <cstdint>
#include <string>

#include "core/HX_Handle.h"

struct HX_ScreenCastRequest {
  // The portal's source-type bits.
  enum Kind : uint32_t { kMonitor = 1, kWindow = 2 };
  Kind m_eKind = kMonitor;
  // Cursor drawn into the pictures when true, left out when false.
  bool m_bCursor = true;
  // A token from an earlier run's grant; empty asks the user to choose.
  std::string m_strRestoreToken;
};

struct HX_ScreenCastGrant {
  // The PipeWire remote to connect to. Invalid means the default daemon of
  // the session (tests hand out a node of their own that way).
  HX_UniqueFd m_fdRemote;
  uint32_t m_uiNodeId = 0;
  // Where the stream sits on the desktop and its size, when the portal says;
  // 0 otherwise (the size then comes from the negotiated format).
  int32_t m_iX = 0, m_iY = 0;
  int32_t m_iWidth = 0, m_iHeight = 0;
  // The token that lets the next run start without asking (may be empty).
  std::string m_strRestoreToken;
};

// One screen-cast session. Threads: one thread at a time. The screen source
// opens it on the capture session's thread and, after a lost stream, reopens
// it on its tick thread; its stop ends the ticks before it closes, so calls
// never overlap.
class HX_IScreenCastPortal {
 public:
  // Open's failures; |*error| then holds a sentence an operator can act on.
  static constexpr int kNoPortal = -1;    // no screen-cast portal on the session bus
  static constexpr int kRefused = -2;     // the user (or the chooser) refused
  static constexpr int kNoAnswer = -3;    // the portal did not answer in time
  static constexpr int kFailed = -4;      // any other bus or portal failure

  virtual ~HX_IScreenCastPortal() = default;
  // Opens a session and asks for one stream: 0 with |*grant| filled, or one
  // of the codes above (logged once by the implementation).
  virtual int Open(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant,
                   std::string* error) = 0;
  // Ends the session, which ends the stream. Idempotent.
  virtual void Close() = 0;
};
