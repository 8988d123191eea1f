#pragma once
// The desktop's screen-cast portal reached over the session bus with sd-bus:
// CreateSession, SelectSources, Start and OpenPipeWireRemote, each answer
// awaited within a time limit. A refused or stale restore token falls back to
// asking the user once. Owns the bus connection and the portal session until
// Close (or destruction). Threads: one thread at a time (see HX_IScreenCastPortal).
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/pipewire/HX_ScreenCastGrant.h"
#include "platform/portal/HX_SdBusTypes.h"

// How long each answer of the portal is awaited.
struct HX_PortalTimeLimits {
  // Each method reply, and the CreateSession and SelectSources answers.
  std::chrono::milliseconds m_msAnswer{5000};
  // Start's answer: the portal may show its chooser and wait for the user.
  std::chrono::milliseconds m_msStart{30000};
};

struct HX_SdBusPortalOptions {
  // Empty: the session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus).
  std::string m_strBusAddress;
  HX_PortalTimeLimits m_stLimits;
};

class HX_SdBusScreenCastPortal final : public HX_IScreenCastPortal {
 public:
  explicit HX_SdBusScreenCastPortal(HX_SdBusPortalOptions options = {});
  ~HX_SdBusScreenCastPortal() override;
  HX_SdBusScreenCastPortal(const HX_SdBusScreenCastPortal&) = delete;
  HX_SdBusScreenCastPortal& operator=(const HX_SdBusScreenCastPortal&) = delete;

  // Closes any session still open first. With a restore token that the
  // portal refuses (or that grants no stream), asks once more without it.
  int Open(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant,
           std::string* error) override;
  void Close() override;

  // The Request object the portal creates for |handleToken| asked by the
  // connection |uniqueName| (":1.42" → ".../request/1_42/TOKEN").
  static std::string RequestPath(const std::string& uniqueName, const std::string& handleToken);

 private:
  // What the portal offers, read from the ScreenCast interface's properties.
  struct Offer {
    uint32_t m_uiVersion = 0;
    uint32_t m_uiSourceTypes = 0;
    uint32_t m_uiCursorModes = 0;
  };
  // One Request's answer, filled by the Response signal.
  struct Answer {
    bool m_bReceived = false;
    uint32_t m_uiResponse = 2;
    HX_SdBusMessagePtr m_pResults;  // positioned at the a{sv} results
  };
  // How a failed attempt ended, for the restore-token fallback.
  enum class Ending { kOther, kRefusedByUser, kRefusedOther, kNoStream };

  int Connect(std::string* error);
  int ReadOffer(Offer* offer, std::string* error);
  int Attempt(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant, std::string* error,
              Ending* ending);
  int CreateSession(std::string* error);
  int SelectSources(const HX_ScreenCastRequest& request, const Offer& offer, std::string* error,
                    Ending* ending);
  int Start(HX_ScreenCastGrant* grant, std::string* error, Ending* ending);
  int OpenRemote(HX_ScreenCastGrant* grant, std::string* error);
  // Sends |call| (whose options carry |handleToken|) and waits for its
  // Response within |limit|, subscribed before the call so that an early
  // answer cannot be missed.
  int Ask(const char* step, sd_bus_message* call, const std::string& handleToken,
          std::chrono::milliseconds limit, Answer* answer, std::string* error);
  int NewCall(const char* member, HX_SdBusMessagePtr* call, std::string* error);
  int CallFailed(const char* step, int code, HX_SdBusError& busError,
                 std::chrono::milliseconds limit, std::string* error);
  // kFailed for a call that cannot be built or an answer that cannot be read.
  int Malformed(const char* what, int code, std::string* error);
  // kRefused for a non-zero Response (1: the user cancelled; 2: anything else,
  // such as a chooser no one can see, or a restore token not honoured).
  int Refused(const char* step, uint32_t response, std::string* error, Ending* ending);
  std::string NewHandleToken();

  static int OnResponse(sd_bus_message* message, void* user, sd_bus_error* error);

  HX_SdBusPortalOptions m_stOptions;
  HX_SdBusPtr m_pBus;
  std::string m_strUniqueName;   // ours on the bus
  std::string m_strPortalOwner;  // the portal's unique name: the only sender we listen to
  std::string m_strSession;      // the open session's object path, empty when none
  uint32_t m_uiTokenCounter = 0;
  bool m_bRestoring = false;  // the current attempt sent a restore token
};
