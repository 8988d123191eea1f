#include "platform/portal/HX_SdBusScreenCastPortal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <utility>

#include "log/HX_Log.h"

// The handshake, each step's answer awaited within its limit:
//   Connect        session bus; the portal's version and offer (activates it)
//   CreateSession  Request answer → session_handle
//   SelectSources  Request answer (types, cursor, persist mode, restore token)
//   Start          Request answer → streams a(ua{sv}), restore_token
//   OpenPipeWireRemote  method reply: a unix fd for the PipeWire remote

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

// The ScreenCast cursor-mode bits.
constexpr uint32_t kCursorHidden = 1;
constexpr uint32_t kCursorEmbedded = 2;
// Persist until the permission is revoked; the portal then issues restore tokens.
constexpr uint32_t kPersistUntilRevoked = 2;
// The interface version that knows persist_mode and restore_token.
constexpr uint32_t kFirstPersistVersion = 4;

constexpr uint32_t kResponseCancelled = 1;

const char* const kNoPortalText = "no screen-cast portal on the session bus";
const char* const kRefusedText = "the user refused screen sharing";
const char* const kNeedsUserText =
    "screen sharing needs a user to allow it once, or a valid restore token";

uint64_t Usec(std::chrono::milliseconds limit) {
  return static_cast<uint64_t>(limit.count() > 0 ? limit.count() : 1) * 1000u;
}

// "30" for 30 s, "0.3" for 300 ms.
std::string Seconds(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", static_cast<double>(limit.count()) / 1000.0);
  return text;
}

std::string NoAnswerText(std::chrono::milliseconds limit) {
  return "the screen-cast portal did not answer within " + Seconds(limit) + " s";
}

const char* KindName(HX_ScreenCastRequest::Kind kind) {
  return kind == HX_ScreenCastRequest::kWindow ? "window" : "monitor";
}

// Calls |onEntry(key)| for each entry of the a{sv} at the read position.
// onEntry reads the entry's variant and returns 1, returns 0 to have it
// skipped, or a negative errno that ends the walk.
int ForEachEntry(sd_bus_message* message, const std::function<int(const char*)>& onEntry) {
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read(message, "s", &key);
    if (r < 0) return r;
    r = onEntry(key);
    if (r == 0) r = sd_bus_message_skip(message, "v");
    if (r < 0) return r;
    r = sd_bus_message_exit_container(message);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

// Reads a variant holding a string or an object path (portals differ in
// which they send for session_handle); 0 skips any other type.
int ReadTextVariant(sd_bus_message* message, std::string* out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  if (type != 'v' || contents == nullptr || (contents[0] != 's' && contents[0] != 'o') ||
      contents[1] != '\0') {
    return 0;
  }
  const char* text = nullptr;
  r = sd_bus_message_read(message, "v", contents, &text);
  if (r < 0) return r;
  *out = text != nullptr ? text : "";
  return 1;
}

// Reads a variant holding (ii); 0 skips any other type.
int ReadPairVariant(sd_bus_message* message, int32_t* a, int32_t* b) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  if (type != 'v' || contents == nullptr || std::string(contents) != "(ii)") return 0;
  r = sd_bus_message_read(message, "v", "(ii)", a, b);
  return r < 0 ? r : 1;
}

// Reads Start's streams a(ua{sv}) into |grant| (the first stream; one is
// asked for) and counts them.
int ReadStreams(sd_bus_message* message, HX_ScreenCastGrant* grant, int* count) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  if (type != 'v' || contents == nullptr || std::string(contents) != "a(ua{sv})") return 0;
  if ((r = sd_bus_message_enter_container(message, 'v', contents)) < 0) return r;
  if ((r = sd_bus_message_enter_container(message, 'a', "(ua{sv})")) < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    uint32_t node = 0;
    int32_t x = 0, y = 0, width = 0, height = 0;
    if ((r = sd_bus_message_read(message, "u", &node)) < 0) return r;
    r = ForEachEntry(message, [&](const char* key) {
      if (std::string(key) == "position") return ReadPairVariant(message, &x, &y);
      if (std::string(key) == "size") return ReadPairVariant(message, &width, &height);
      return 0;
    });
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(message)) < 0) return r;
    if (++*count == 1) {
      grant->m_uiNodeId = node;
      grant->m_iX = x;
      grant->m_iY = y;
      grant->m_iWidth = width;
      grant->m_iHeight = height;
    }
  }
  if (r < 0) return r;
  if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  r = sd_bus_message_exit_container(message);
  return r < 0 ? r : 1;
}

// The cursor mode to ask for: the wanted one when offered, else the other
// of embedded/hidden, else none (0: the portal's default).
uint32_t ChooseCursorMode(bool cursor, uint32_t available) {
  const uint32_t wanted = cursor ? kCursorEmbedded : kCursorHidden;
  if (available & wanted) return wanted;
  const uint32_t other = cursor ? kCursorHidden : kCursorEmbedded;
  return (available & other) ? other : 0;
}

}  // namespace

HX_SdBusScreenCastPortal::HX_SdBusScreenCastPortal(HX_SdBusPortalOptions options)
    : m_stOptions(std::move(options)) {}

HX_SdBusScreenCastPortal::~HX_SdBusScreenCastPortal() { Close(); }

std::string HX_SdBusScreenCastPortal::RequestPath(const std::string& uniqueName,
                                                  const std::string& handleToken) {
  std::string sender;
  for (char c : uniqueName) {
    if (c == ':') continue;
    sender.push_back(c == '.' ? '_' : c);
  }
  return std::string(kPortalPath) + "/request/" + sender + "/" + handleToken;
}

std::string HX_SdBusScreenCastPortal::NewHandleToken() {
  // Object-path characters only; unique per connection, which is all the
  // portal needs (the request path also carries our unique name).
  return "ostrel" + std::to_string(getpid()) + "_" + std::to_string(++m_uiTokenCounter);
}

int HX_SdBusScreenCastPortal::Open(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant,
                                   std::string* error) {
  Close();
  Ending ending = Ending::kOther;
  std::string firstError;
  int rc = Attempt(request, grant, &firstError, &ending);
  // Only a token that was sent can have been refused (portals before
  // version 4 are never sent one).
  if (rc == 0 || !m_bRestoring ||
      (ending != Ending::kRefusedByUser && ending != Ending::kRefusedOther &&
       ending != Ending::kNoStream)) {
    if (rc != 0) *error = firstError;
    return rc;
  }

  HX_LOG_WARNING("asking the user once more for the %s, without the saved restore token",
                 KindName(request.m_eKind));
  HX_ScreenCastRequest ask = request;
  ask.m_strRestoreToken.clear();
  std::string secondError;
  rc = Attempt(ask, grant, &secondError, &ending);
  if (rc == 0) return 0;
  if (ending == Ending::kRefusedByUser) {
    *error = std::string(kRefusedText) + " (the saved restore token was refused as well)";
  } else if (ending == Ending::kRefusedOther) {
    *error = std::string("the saved restore token was refused and no one could be asked: ") + kNeedsUserText;
  } else if (rc == HX_IScreenCastPortal::kNoAnswer) {
    *error = "the saved restore token was refused, then " + secondError + ": " + kNeedsUserText;
  } else {
    *error = "the saved restore token was refused; asking again failed: " + secondError;
  }
  return rc;
}

int HX_SdBusScreenCastPortal::Attempt(const HX_ScreenCastRequest& request, HX_ScreenCastGrant* grant,
                                      std::string* error, Ending* ending) {
  *ending = Ending::kOther;
  *grant = HX_ScreenCastGrant();
  m_bRestoring = false;
  int rc = Connect(error);
  Offer offer;
  if (rc == 0) rc = ReadOffer(&offer, error);
  if (rc == 0 && (offer.m_uiSourceTypes & request.m_eKind) == 0) {
    *error = std::string("the screen-cast portal cannot share a ") + KindName(request.m_eKind) +
             " (it offers source types " + std::to_string(offer.m_uiSourceTypes) + ")";
    HX_LOG_ERROR("%s", error->c_str());
    rc = HX_IScreenCastPortal::kFailed;
  }
  if (rc == 0) rc = CreateSession(error);
  if (rc == 0) rc = SelectSources(request, offer, error, ending);
  if (rc == 0) rc = Start(grant, error, ending);
  if (rc == 0) rc = OpenRemote(grant, error);
  if (rc != 0) Close();
  return rc;
}

int HX_SdBusScreenCastPortal::Connect(std::string* error) {
  sd_bus* bus = nullptr;
  int r = 0;
  if (m_stOptions.m_strBusAddress.empty()) {
    r = sd_bus_open_user(&bus);
    m_pBus.reset(bus);
  } else {
    r = sd_bus_new(&bus);
    m_pBus.reset(bus);
    if (r >= 0) r = sd_bus_set_address(bus, m_stOptions.m_strBusAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  if (r < 0) {
    m_pBus.reset();
    HX_LOG_ERROR("cannot connect to the session bus: %s", strerror(-r));
    *error = std::string(kNoPortalText) + " (cannot connect to the session bus: " + strerror(-r) + ")";
    return HX_IScreenCastPortal::kNoPortal;
  }
  // Every call, property reads included, waits at most the answer limit.
  sd_bus_set_method_call_timeout(bus, Usec(m_stOptions.m_stLimits.m_msAnswer));
  const char* unique = nullptr;
  r = sd_bus_get_unique_name(bus, &unique);
  if (r < 0) {
    HX_LOG_ERROR("the session bus gave no unique name: %s", strerror(-r));
    *error = std::string("the session bus gave no unique name: ") + strerror(-r);
    return HX_IScreenCastPortal::kFailed;
  }
  m_strUniqueName = unique;
  return 0;
}

int HX_SdBusScreenCastPortal::ReadOffer(Offer* offer, std::string* error) {
  sd_bus* bus = m_pBus.get();
  // Reading the version starts the portal when the bus activates it on demand.
  HX_SdBusError busError;
  sd_bus_message* versionReply = nullptr;
  int r = sd_bus_call_method(bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
                             busError.get(), &versionReply, "ss", kScreenCast, "version");
  HX_SdBusMessagePtr ownedVersion(versionReply);
  if (r == -ETIMEDOUT) return CallFailed("version", r, busError, m_stOptions.m_stLimits.m_msAnswer, error);
  if (r >= 0) r = sd_bus_message_read(versionReply, "v", "u", &offer->m_uiVersion);
  if (r < 0) {
    HX_LOG_ERROR("%s: %s", kNoPortalText, busError.text(r));
    *error = kNoPortalText;
    return HX_IScreenCastPortal::kNoPortal;
  }
  auto get = [&](const char* name, uint32_t* value) {
    HX_SdBusError e;
    return sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kScreenCast, name, e.get(), 'u',
                                       value);
  };
  if (get("AvailableSourceTypes", &offer->m_uiSourceTypes) < 0) {
    offer->m_uiSourceTypes = HX_ScreenCastRequest::kMonitor;  // version 1 offers monitors
  }
  // Absent before version 2: the portal then picks the cursor itself.
  if (get("AvailableCursorModes", &offer->m_uiCursorModes) < 0) offer->m_uiCursorModes = 0;

  sd_bus_message* reply = nullptr;
  HX_SdBusError ownerError;
  r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetNameOwner", ownerError.get(), &reply, "s", kPortalName);
  HX_SdBusMessagePtr owned(reply);
  const char* owner = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "s", &owner);
  if (r < 0 || owner == nullptr) {
    HX_LOG_ERROR("%s: %s has no owner: %s", kNoPortalText, kPortalName, ownerError.text(r));
    *error = kNoPortalText;
    return HX_IScreenCastPortal::kNoPortal;
  }
  m_strPortalOwner = owner;
  return 0;
}

int HX_SdBusScreenCastPortal::NewCall(const char* member, HX_SdBusMessagePtr* call, std::string* error) {
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(m_pBus.get(), &message, kPortalName, kPortalPath, kScreenCast,
                                         member);
  call->reset(message);
  if (r < 0) return Malformed((std::string(member) + " call").c_str(), r, error);
  return 0;
}

int HX_SdBusScreenCastPortal::Malformed(const char* what, int code, std::string* error) {
  *error = std::string("cannot handle the screen-cast portal's ") + what + ": " + strerror(-code);
  HX_LOG_ERROR("%s", error->c_str());
  return HX_IScreenCastPortal::kFailed;
}

int HX_SdBusScreenCastPortal::Refused(const char* step, uint32_t response, std::string* error,
                                      Ending* ending) {
  const bool byUser = response == kResponseCancelled;
  *ending = byUser ? Ending::kRefusedByUser : Ending::kRefusedOther;
  if (m_bRestoring) {
    // Open asks again without the token; this text is only seen if it cannot.
    *error = "the screen-cast portal refused the saved restore token; ask again without it";
    HX_LOG_WARNING("the screen-cast portal refused the saved restore token: %s answered %" PRIu32, step,
                   response);
  } else {
    *error = byUser ? std::string(kRefusedText)
                    : std::string(kRefusedText) + " (or no one could be asked: " + kNeedsUserText + ")";
    HX_LOG_ERROR("%s: %s answered %" PRIu32, kRefusedText, step, response);
  }
  return HX_IScreenCastPortal::kRefused;
}

int HX_SdBusScreenCastPortal::CallFailed(const char* step, int code, HX_SdBusError& busError,
                                         std::chrono::milliseconds limit, std::string* error) {
  if (code == -ETIMEDOUT) {
    *error = NoAnswerText(limit);
    HX_LOG_ERROR("%s (%s)", error->c_str(), step);
    return HX_IScreenCastPortal::kNoAnswer;
  }
  if (busError.has("org.freedesktop.DBus.Error.ServiceUnknown") ||
      busError.has("org.freedesktop.DBus.Error.NameHasNoOwner")) {
    *error = kNoPortalText;
    HX_LOG_ERROR("%s (%s: %s)", kNoPortalText, step, busError.text(code));
    return HX_IScreenCastPortal::kNoPortal;
  }
  *error = std::string("the screen-cast portal failed at ") + step + ": " + busError.text(code);
  HX_LOG_ERROR("%s", error->c_str());
  return HX_IScreenCastPortal::kFailed;
}

int HX_SdBusScreenCastPortal::OnResponse(sd_bus_message* message, void* user, sd_bus_error*) {
  auto* answer = static_cast<Answer*>(user);
  if (answer->m_bReceived) return 0;
  uint32_t response = 2;
  if (sd_bus_message_read(message, "u", &response) < 0) return 0;
  answer->m_bReceived = true;
  answer->m_uiResponse = response;
  answer->m_pResults.reset(sd_bus_message_ref(message));
  return 0;
}

int HX_SdBusScreenCastPortal::Ask(const char* step, sd_bus_message* call, const std::string& handleToken,
                                  std::chrono::milliseconds limit, Answer* answer, std::string* error) {
  sd_bus* bus = m_pBus.get();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::string predicted = RequestPath(m_strUniqueName, handleToken);
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_match_signal(bus, &slot, m_strPortalOwner.c_str(), predicted.c_str(), kRequest,
                              "Response", &OnResponse, answer);
  HX_SdBusSlotPtr predictedSlot(slot);
  if (r < 0) {
    *error = std::string("cannot listen for the screen-cast portal's answer: ") + strerror(-r);
    HX_LOG_ERROR("%s (%s)", error->c_str(), step);
    return HX_IScreenCastPortal::kFailed;
  }

  HX_SdBusError busError;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus, call, Usec(limit), busError.get(), &reply);
  HX_SdBusMessagePtr ownedReply(reply);
  if (r < 0) return CallFailed(step, r, busError, limit, error);
  const char* handle = nullptr;
  if ((r = sd_bus_message_read(reply, "o", &handle)) < 0) {
    return Malformed((std::string(step) + " reply").c_str(), r, error);
  }
  // Portals older than the predicted-path rule name another object.
  HX_SdBusSlotPtr actualSlot;
  if (predicted != handle) {
    slot = nullptr;
    r = sd_bus_match_signal(bus, &slot, m_strPortalOwner.c_str(), handle, kRequest, "Response",
                            &OnResponse, answer);
    actualSlot.reset(slot);
    if (r < 0) {
      *error = std::string("cannot listen for the screen-cast portal's answer: ") + strerror(-r);
      HX_LOG_ERROR("%s (%s)", error->c_str(), step);
      return HX_IScreenCastPortal::kFailed;
    }
  }

  while (!answer->m_bReceived) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) {
      *error = std::string("the session bus connection broke during ") + step + ": " + strerror(-r);
      HX_LOG_ERROR("%s", error->c_str());
      return HX_IScreenCastPortal::kFailed;
    }
    if (r > 0) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      *error = NoAnswerText(limit);
      HX_LOG_ERROR("%s (%s)", error->c_str(), step);
      return HX_IScreenCastPortal::kNoAnswer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    r = sd_bus_wait(bus, static_cast<uint64_t>(left.count()) + 1);
    if (r < 0 && r != -EINTR) {
      *error = std::string("the session bus connection broke during ") + step + ": " + strerror(-r);
      HX_LOG_ERROR("%s", error->c_str());
      return HX_IScreenCastPortal::kFailed;
    }
  }
  return 0;
}

int HX_SdBusScreenCastPortal::CreateSession(std::string* error) {
  HX_SdBusMessagePtr call;
  if (int rc = NewCall("CreateSession", &call, error)) return rc;
  const std::string token = NewHandleToken();
  const std::string sessionToken = NewHandleToken();
  int r = sd_bus_message_append(call.get(), "a{sv}", 2, "handle_token", "s", token.c_str(),
                                "session_handle_token", "s", sessionToken.c_str());
  if (r < 0) return Malformed("CreateSession call", r, error);
  Answer answer;
  if (int rc = Ask("CreateSession", call.get(), token, m_stOptions.m_stLimits.m_msAnswer, &answer, error)) {
    return rc;
  }
  if (answer.m_uiResponse != 0) {
    *error = "the screen-cast portal could not create a session (response " +
             std::to_string(answer.m_uiResponse) + ")";
    HX_LOG_ERROR("%s", error->c_str());
    return HX_IScreenCastPortal::kFailed;
  }
  std::string session;
  r = ForEachEntry(answer.m_pResults.get(), [&](const char* key) {
    return std::string(key) == "session_handle" ? ReadTextVariant(answer.m_pResults.get(), &session) : 0;
  });
  if (r < 0 || session.empty()) {
    *error = "the screen-cast portal created a session without naming it";
    HX_LOG_ERROR("%s", error->c_str());
    return HX_IScreenCastPortal::kFailed;
  }
  m_strSession = session;
  return 0;
}

int HX_SdBusScreenCastPortal::SelectSources(const HX_ScreenCastRequest& request, const Offer& offer,
                                            std::string* error, Ending* ending) {
  HX_SdBusMessagePtr call;
  if (int rc = NewCall("SelectSources", &call, error)) return rc;
  sd_bus_message* m = call.get();
  const std::string token = NewHandleToken();
  const uint32_t cursorMode = ChooseCursorMode(request.m_bCursor, offer.m_uiCursorModes);
  if (cursorMode != 0 && cursorMode != (request.m_bCursor ? kCursorEmbedded : kCursorHidden)) {
    HX_LOG_WARNING("the screen-cast portal cannot %s the cursor (cursor modes %" PRIu32 "); it will be %s",
                   request.m_bCursor ? "draw" : "hide", offer.m_uiCursorModes,
                   request.m_bCursor ? "left out" : "drawn");
  }
  const bool persist = offer.m_uiVersion >= kFirstPersistVersion;
  int r = sd_bus_message_append(m, "o", m_strSession.c_str());
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str());
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "types", "u", static_cast<uint32_t>(request.m_eKind));
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
  if (r >= 0 && cursorMode != 0) r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", cursorMode);
  if (r >= 0 && persist) r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
  if (r >= 0 && persist && !request.m_strRestoreToken.empty()) {
    r = sd_bus_message_append(m, "{sv}", "restore_token", "s", request.m_strRestoreToken.c_str());
    m_bRestoring = true;
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r < 0) return Malformed("SelectSources call", r, error);
  Answer answer;
  if (int rc = Ask("SelectSources", m, token, m_stOptions.m_stLimits.m_msAnswer, &answer, error)) return rc;
  if (answer.m_uiResponse != 0) return Refused("SelectSources", answer.m_uiResponse, error, ending);
  return 0;
}

int HX_SdBusScreenCastPortal::Start(HX_ScreenCastGrant* grant, std::string* error, Ending* ending) {
  HX_SdBusMessagePtr call;
  if (int rc = NewCall("Start", &call, error)) return rc;
  const std::string token = NewHandleToken();
  int r = sd_bus_message_append(call.get(), "osa{sv}", m_strSession.c_str(), "", 1, "handle_token", "s",
                                token.c_str());
  if (r < 0) return Malformed("Start call", r, error);
  Answer answer;
  if (int rc = Ask("Start", call.get(), token, m_stOptions.m_stLimits.m_msStart, &answer, error)) return rc;
  if (answer.m_uiResponse != 0) return Refused("Start", answer.m_uiResponse, error, ending);
  int streams = 0;
  sd_bus_message* results = answer.m_pResults.get();
  r = ForEachEntry(results, [&](const char* key) {
    if (std::string(key) == "streams") return ReadStreams(results, grant, &streams);
    if (std::string(key) == "restore_token") return ReadTextVariant(results, &grant->m_strRestoreToken);
    return 0;
  });
  if (r < 0) return Malformed("Start answer", r, error);
  if (streams == 0) {
    *ending = Ending::kNoStream;
    *error = "the screen-cast portal granted no stream";
    if (m_bRestoring) {
      HX_LOG_WARNING("%s for the saved restore token", error->c_str());
    } else {
      HX_LOG_ERROR("%s", error->c_str());
    }
    return HX_IScreenCastPortal::kFailed;
  }
  if (streams > 1) HX_LOG_WARNING("the screen-cast portal granted %d streams; the first is used", streams);
  return 0;
}

int HX_SdBusScreenCastPortal::OpenRemote(HX_ScreenCastGrant* grant, std::string* error) {
  HX_SdBusMessagePtr call;
  if (int rc = NewCall("OpenPipeWireRemote", &call, error)) return rc;
  int r = sd_bus_message_append(call.get(), "oa{sv}", m_strSession.c_str(), 0);
  if (r < 0) return Malformed("OpenPipeWireRemote call", r, error);
  HX_SdBusError busError;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(m_pBus.get(), call.get(), Usec(m_stOptions.m_stLimits.m_msAnswer), busError.get(), &reply);
  HX_SdBusMessagePtr ownedReply(reply);
  if (r < 0) return CallFailed("OpenPipeWireRemote", r, busError, m_stOptions.m_stLimits.m_msAnswer, error);
  int fd = -1;
  if ((r = sd_bus_message_read(reply, "h", &fd)) < 0) return Malformed("OpenPipeWireRemote reply", r, error);
  // The message owns the descriptor it carries; the grant needs its own.
  grant->m_fdRemote.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!grant->m_fdRemote) {
    *error = std::string("cannot keep the PipeWire remote's descriptor: ") + strerror(errno);
    HX_LOG_ERROR("%s", error->c_str());
    return HX_IScreenCastPortal::kFailed;
  }
  return 0;
}

void HX_SdBusScreenCastPortal::Close() {
  if (!m_strSession.empty() && m_pBus) {
    HX_SdBusError busError;
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(m_pBus.get(), &message, kPortalName, m_strSession.c_str(),
                                           kSession, "Close");
    HX_SdBusMessagePtr call(message);
    if (r >= 0) r = sd_bus_call(m_pBus.get(), call.get(), Usec(m_stOptions.m_stLimits.m_msAnswer),
                                busError.get(), nullptr);
    if (r < 0) {
      HX_LOG_WARNING("closing the screen-cast session %s failed: %s", m_strSession.c_str(),
                     busError.text(r));
    }
  }
  m_strSession.clear();
  m_strPortalOwner.clear();
  m_strUniqueName.clear();
  m_pBus.reset();
}
