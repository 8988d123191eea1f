// A stand-in for the desktop's screen-cast portal, for tests: owns
// org.freedesktop.portal.Desktop on the session bus it is started on
// (DBUS_SESSION_BUS_ADDRESS), answers CreateSession, SelectSources, Start and
// OpenPipeWireRemote with Request objects and Response signals, and writes
// one line per call it receives to the --record file. Each Response is sent
// before the method's reply, the earliest a real portal can answer, so a
// client that subscribes only after its call misses it.
//
// Options:
//   --record FILE            what was received, one line per call
//   --node N                 node id of the granted stream (42)
//   --position X,Y --size WxH  the stream's geometry (0,0 and 1280x720)
//   --version N              the interface version (4); below 4 no tokens
//   --source-types N         AvailableSourceTypes (3)
//   --cursor-modes N         AvailableCursorModes (7)
//   --refuse-at select|start   answer 1 (cancelled by the user) there
//   --fail-at select|start     answer 2 there
//   --silent-at create|select|start  never answer there
//   --chooser fail           asking the user (Start without a valid token) answers 2
//   --token-db FILE          restore tokens issued so far, one a line: only
//                            these are honoured; Start adds a new one when
//                            persist_mode is 2
//   --empty-on-restore       a session restored from a token gets no stream
// Prints "ready" on standard output once the name is owned.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";

struct Session {
  bool m_bSelected = false;
  uint32_t m_uiPersist = 0;
  std::string m_strRestoreToken;
};

struct Fake {
  sd_bus* m_pBus = nullptr;
  std::string m_strRecord;
  uint32_t m_uiNode = 42;
  int32_t m_iX = 0, m_iY = 0, m_iWidth = 1280, m_iHeight = 720;
  uint32_t m_uiVersion = 4;
  uint32_t m_uiSourceTypes = 3;
  uint32_t m_uiCursorModes = 7;
  std::string m_strRefuseAt, m_strFailAt, m_strSilentAt;
  bool m_bChooserFails = false;
  bool m_bEmptyOnRestore = false;
  std::string m_strTokenDb;
  unsigned m_uiIssued = 0;
  std::map<std::string, Session> m_sessions;
};

void Record(const Fake& fake, const std::string& line) {
  if (fake.m_strRecord.empty()) return;
  FILE* f = std::fopen(fake.m_strRecord.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

std::set<std::string> IssuedTokens(const Fake& fake) {
  std::set<std::string> tokens;
  std::ifstream in(fake.m_strTokenDb);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) tokens.insert(line);
  }
  return tokens;
}

std::string Issue(Fake& fake) {
  const std::string token = "tok-" + std::to_string(getpid()) + "-" + std::to_string(++fake.m_uiIssued);
  if (!fake.m_strTokenDb.empty()) std::ofstream(fake.m_strTokenDb, std::ios::app) << token << "\n";
  return token;
}

// ":1.42" → "1_42", as the portal names a sender in object paths.
std::string SenderElement(sd_bus_message* m) {
  std::string out;
  for (const char* c = sd_bus_message_get_sender(m); c != nullptr && *c != '\0'; ++c) {
    if (*c != ':') out.push_back(*c == '.' ? '_' : *c);
  }
  return out;
}

// The options a{sv}, as text ("key=value ...") and as a map of strings.
int ReadOptions(sd_bus_message* m, std::map<std::string, std::string>* options) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    char type = 0;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    std::string value = "?";
    if (std::strcmp(contents, "s") == 0) {
      const char* s = nullptr;
      r = sd_bus_message_read(m, "v", "s", &s);
      value = s;
    } else if (std::strcmp(contents, "u") == 0) {
      uint32_t u = 0;
      r = sd_bus_message_read(m, "v", "u", &u);
      value = std::to_string(u);
    } else if (std::strcmp(contents, "b") == 0) {
      int b = 0;
      r = sd_bus_message_read(m, "v", "b", &b);
      value = std::to_string(b);
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0) return r;
    (*options)[key] = value;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

std::string Describe(const std::map<std::string, std::string>& options, const char* const* keys) {
  std::string text;
  for (; *keys != nullptr; ++keys) {
    auto it = options.find(*keys);
    if (it != options.end()) text += std::string(" ") + *keys + "=" + it->second;
  }
  return text;
}

// The Request object's path for this call, and whether to stay silent there.
std::string RequestPath(sd_bus_message* m, const std::map<std::string, std::string>& options) {
  auto it = options.find("handle_token");
  const std::string token = it != options.end() ? it->second : "t" + std::to_string(rand());
  return std::string(kPath) + "/request/" + SenderElement(m) + "/" + token;
}

// Sends the Response signal; |streams| adds Start's results.
int Respond(Fake& fake, sd_bus_message* call, const std::string& request, uint32_t response,
            const std::string& session, bool streams, const std::string& token) {
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(fake.m_pBus, &signal, request.c_str(), "org.freedesktop.portal.Request",
                                    "Response");
  if (r < 0) return r;
  r = sd_bus_message_set_destination(signal, sd_bus_message_get_sender(call));
  if (r >= 0) r = sd_bus_message_append(signal, "u", response);
  if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "{sv}");
  if (r >= 0 && !session.empty()) r = sd_bus_message_append(signal, "{sv}", "session_handle", "s", session.c_str());
  if (r >= 0 && streams) {
    r = sd_bus_message_open_container(signal, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(signal, "s", "streams");
    if (r >= 0) r = sd_bus_message_open_container(signal, 'v', "a(ua{sv})");
    if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "(ua{sv})");
    if (r >= 0) r = sd_bus_message_open_container(signal, 'r', "ua{sv}");
    if (r >= 0) r = sd_bus_message_append(signal, "ua{sv}", fake.m_uiNode, 3, "position", "(ii)", fake.m_iX,
                                          fake.m_iY, "size", "(ii)", fake.m_iWidth, fake.m_iHeight,
                                          "source_type", "u", 1u);
    for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(signal);
  }
  if (r >= 0 && !token.empty()) r = sd_bus_message_append(signal, "{sv}", "restore_token", "s", token.c_str());
  if (r >= 0) r = sd_bus_message_close_container(signal);
  if (r >= 0) r = sd_bus_send(fake.m_pBus, signal, nullptr);
  sd_bus_message_unref(signal);
  return r;
}

Session* FindSession(Fake& fake, const char* path, sd_bus_error* error) {
  auto it = fake.m_sessions.find(path);
  if (it != fake.m_sessions.end()) return &it->second;
  sd_bus_error_setf(error, "org.freedesktop.portal.Error.NotFound", "no session %s", path);
  return nullptr;
}

int OnCreateSession(sd_bus_message* m, void* user, sd_bus_error*) {
  Fake& fake = *static_cast<Fake*>(user);
  std::map<std::string, std::string> options;
  int r = ReadOptions(m, &options);
  if (r < 0) return r;
  Record(fake, "CreateSession");
  const std::string request = RequestPath(m, options);
  const std::string session = std::string(kPath) + "/session/" + SenderElement(m) + "/" +
                              options["session_handle_token"];
  fake.m_sessions[session] = Session();
  if (fake.m_strSilentAt != "create" && (r = Respond(fake, m, request, 0, session, false, "")) < 0) return r;
  return sd_bus_reply_method_return(m, "o", request.c_str());
}

int OnSelectSources(sd_bus_message* m, void* user, sd_bus_error* error) {
  Fake& fake = *static_cast<Fake*>(user);
  const char* path = nullptr;
  std::map<std::string, std::string> options;
  int r = sd_bus_message_read(m, "o", &path);
  if (r >= 0) r = ReadOptions(m, &options);
  if (r < 0) return r;
  static const char* const kKeys[] = {"types", "multiple", "cursor_mode", "persist_mode", "restore_token",
                                      nullptr};
  Record(fake, "SelectSources" + Describe(options, kKeys));
  Session* session = FindSession(fake, path, error);
  if (session == nullptr) return -ENOENT;
  session->m_bSelected = true;
  session->m_uiPersist = options.count("persist_mode") ? std::stoul(options["persist_mode"]) : 0;
  session->m_strRestoreToken = options["restore_token"];
  const std::string request = RequestPath(m, options);
  uint32_t response = 0;
  if (fake.m_strRefuseAt == "select") response = 1;
  if (fake.m_strFailAt == "select") response = 2;
  if (fake.m_strSilentAt != "select" && (r = Respond(fake, m, request, response, "", false, "")) < 0) return r;
  return sd_bus_reply_method_return(m, "o", request.c_str());
}

int OnStart(sd_bus_message* m, void* user, sd_bus_error* error) {
  Fake& fake = *static_cast<Fake*>(user);
  const char* path = nullptr;
  const char* parent = nullptr;
  std::map<std::string, std::string> options;
  int r = sd_bus_message_read(m, "os", &path, &parent);
  if (r >= 0) r = ReadOptions(m, &options);
  if (r < 0) return r;
  Record(fake, std::string("Start parent_window=") + parent);
  Session* session = FindSession(fake, path, error);
  if (session == nullptr) return -ENOENT;
  if (!session->m_bSelected) {
    return sd_bus_error_set(error, "org.freedesktop.portal.Error.Failed", "Start before SelectSources");
  }
  const std::string request = RequestPath(m, options);
  uint32_t response = 0;
  bool restored = false;
  if (!session->m_strRestoreToken.empty()) {
    restored = IssuedTokens(fake).count(session->m_strRestoreToken) > 0;
    if (!restored) response = 2;
  } else if (fake.m_bChooserFails) {
    response = 2;
  }
  if (fake.m_strRefuseAt == "start") response = 1;
  if (fake.m_strFailAt == "start") response = 2;
  const bool streams = response == 0 && !(restored && fake.m_bEmptyOnRestore);
  const std::string token = response == 0 && session->m_uiPersist == 2 ? Issue(fake) : "";
  if (fake.m_strSilentAt != "start" && (r = Respond(fake, m, request, response, "", streams, token)) < 0) {
    return r;
  }
  return sd_bus_reply_method_return(m, "o", request.c_str());
}

int OnOpenPipeWireRemote(sd_bus_message* m, void* user, sd_bus_error* error) {
  Fake& fake = *static_cast<Fake*>(user);
  const char* path = nullptr;
  int r = sd_bus_message_read(m, "o", &path);
  if (r < 0) return r;
  Record(fake, "OpenPipeWireRemote");
  if (FindSession(fake, path, error) == nullptr) return -ENOENT;
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  r = sd_bus_reply_method_return(m, "h", fd);
  close(fd);
  return r;
}

int OnSessionObject(sd_bus_message* m, void* user, sd_bus_error*) {
  Fake& fake = *static_cast<Fake*>(user);
  if (!sd_bus_message_is_method_call(m, "org.freedesktop.portal.Session", "Close")) return 0;
  const std::string path = sd_bus_message_get_path(m);
  Record(fake, "Close " + path + (fake.m_sessions.erase(path) ? "" : " (unknown)"));
  return sd_bus_reply_method_return(m, "");
}

int GetUint(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void* user,
            sd_bus_error*) {
  const Fake& fake = *static_cast<Fake*>(user);
  const std::string name = property;
  const uint32_t value = name == "version" ? fake.m_uiVersion
                         : name == "AvailableSourceTypes" ? fake.m_uiSourceTypes
                                                          : fake.m_uiCursorModes;
  return sd_bus_message_append(reply, "u", value);
}

const sd_bus_vtable kScreenCast[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("version", "u", GetUint, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableSourceTypes", "u", GetUint, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableCursorModes", "u", GetUint, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("CreateSession", "a{sv}", "o", OnCreateSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SelectSources", "oa{sv}", "o", OnSelectSources, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Start", "osa{sv}", "o", OnStart, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("OpenPipeWireRemote", "oa{sv}", "h", OnOpenPipeWireRemote, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

bool ParsePair(const char* text, char separator, int32_t* a, int32_t* b) {
  char* end = nullptr;
  *a = static_cast<int32_t>(std::strtol(text, &end, 10));
  if (*end != separator) return false;
  *b = static_cast<int32_t>(std::strtol(end + 1, &end, 10));
  return *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  Fake fake;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--empty-on-restore") {
      fake.m_bEmptyOnRestore = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    bool ok = true;
    if (arg == "--record") fake.m_strRecord = value;
    else if (arg == "--node") fake.m_uiNode = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (arg == "--position") ok = ParsePair(value, ',', &fake.m_iX, &fake.m_iY);
    else if (arg == "--size") ok = ParsePair(value, 'x', &fake.m_iWidth, &fake.m_iHeight);
    else if (arg == "--version") fake.m_uiVersion = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (arg == "--source-types") fake.m_uiSourceTypes = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (arg == "--cursor-modes") fake.m_uiCursorModes = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (arg == "--refuse-at") fake.m_strRefuseAt = value;
    else if (arg == "--fail-at") fake.m_strFailAt = value;
    else if (arg == "--silent-at") fake.m_strSilentAt = value;
    else if (arg == "--chooser") fake.m_bChooserFails = std::string(value) == "fail";
    else if (arg == "--token-db") fake.m_strTokenDb = value;
    else ok = false;
    if (!ok) {
      std::fprintf(stderr, "bad option %s %s\n", arg.c_str(), value);
      return 2;
    }
  }

  int r = sd_bus_open_user(&fake.m_pBus);
  if (r >= 0) r = sd_bus_add_object_vtable(fake.m_pBus, nullptr, kPath, "org.freedesktop.portal.ScreenCast",
                                           kScreenCast, &fake);
  if (r >= 0) r = sd_bus_add_fallback(fake.m_pBus, nullptr, "/org/freedesktop/portal/desktop/session",
                                      OnSessionObject, &fake);
  if (r >= 0) r = sd_bus_request_name(fake.m_pBus, "org.freedesktop.portal.Desktop", 0);
  if (r < 0) {
    std::fprintf(stderr, "fake portal: cannot serve on the session bus: %s\n", std::strerror(-r));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    r = sd_bus_process(fake.m_pBus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if ((r = sd_bus_wait(fake.m_pBus, UINT64_MAX)) < 0 && r != -EINTR) break;
  }
  sd_bus_flush_close_unref(fake.m_pBus);
  return 0;
}
