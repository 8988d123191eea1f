// End to end: the in-process server streams real H.264/MJPEG and ADTS AAC
// packets to the ostrel-client binary over loopback; ffprobe reads its output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProtocolTestUtil.h"
#include "config/HX_ServerConfiguration.h"
#include "net/HX_SocketApi.h"
#include "protocol/HX_ClientList.h"
#include "protocol/VrTransServer.h"
#include "support/TempDir.h"

namespace {
std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

struct Picture {
  std::string bytes;
  bool key;
};

// Access units of an Annex B stream written with access-unit delimiters.
std::vector<Picture> SplitH264(const std::string& d) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 4 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1 && (d[i + 4] & 0x1F) == 9) starts.push_back(i);
  std::vector<Picture> out;
  for (size_t k = 0; k < starts.size(); ++k) {
    std::string au = d.substr(starts[k], (k + 1 < starts.size() ? starts[k + 1] : d.size()) - starts[k]);
    bool idr = false;
    for (size_t i = 0; i + 3 < au.size(); ++i)
      if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5) idr = true;
    out.push_back(Picture{au, idr});
  }
  return out;
}

std::vector<Picture> SplitMjpeg(const std::string& d) {
  std::vector<Picture> out;
  size_t i = 0;
  while ((i = d.find("\xFF\xD8", i)) != std::string::npos) {
    size_t end = d.find("\xFF\xD9", i);
    if (end == std::string::npos) break;
    out.push_back(Picture{d.substr(i, end + 2 - i), true});
    i = end + 2;
  }
  return out;
}

std::vector<std::string> SplitAdts(const std::string& d) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i + 7 <= d.size()) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d.data()) + i;
    if (p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) break;
    const size_t len = ((p[3] & 0x03u) << 11) | (static_cast<size_t>(p[4]) << 3) | (p[5] >> 5);
    if (len < 7 || i + len > d.size()) break;
    out.push_back(d.substr(i, len));
    i += len;
  }
  return out;
}

VrMediaFramePtr Packet(int type, int64_t t, const std::string& bytes, bool key) {
  VrMediaFramePtr p = VrCreateMediaFrame();
  p->m_iMediaType = type;
  p->m_llTimestamp = t;
  p->m_iKeyFrame = key ? 1 : 0;
  p->m_iWidth = type == VR_MEDIA_VIDEO ? 320 : 0;
  p->m_iHeight = type == VR_MEDIA_VIDEO ? 240 : 0;
  p->AllocData(static_cast<int32_t>(bytes.size()));
  std::memcpy(p->m_pData, bytes.data(), bytes.size());
  return p;
}

// A child process with its standard output and error in files.
struct Child {
  pid_t pid = -1;
  int status = -1;
  void spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    pid = ::fork();
    if (pid == 0) {
      std::freopen(out.c_str(), "w", stdout);
      std::freopen(err.c_str(), "w", stderr);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  // The exit code, or -1 when it did not end within |ms| (it is killed then).
  int wait(int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
};

class ClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_ServerConfiguration::instance()->resetToDefaults();
    HX_ServerConfiguration::instance()->m_iPrivatePort = 0;
    HX_ServerConfiguration::instance()->m_iAudioSample = 48000;
  }

  // Encodes two seconds of test picture and tone with the ffmpeg CLI.
  void makeMedia(bool mjpeg) {
    const std::string video = dir.file(mjpeg ? "v.mjpg" : "v.h264");
    const std::string vcodec = mjpeg ? "-c:v mjpeg -q:v 5 -f mjpeg"
                                     : "-c:v libx264 -preset ultrafast -g 25 -bf 0 -x264-params aud=1 -f h264";
    ASSERT_EQ(Shell(std::string(OSTREL_FFMPEG) + " -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 " +
                    vcodec + " " + video),
              0);
    ASSERT_EQ(Shell(std::string(OSTREL_FFMPEG) + " -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 "
                    "-t 2 -ac 2 -c:a aac -f adts " + dir.file("a.aac")),
              0);
    pictures = mjpeg ? SplitMjpeg(Slurp(video)) : SplitH264(Slurp(video));
    audio = SplitAdts(Slurp(dir.file("a.aac")));
    ASSERT_EQ(pictures.size(), 50u);
    ASSERT_GT(audio.size(), 90u);
    ASSERT_TRUE(pictures[0].key);
    // Audio newer than the last picture waits for a picture that never comes.
    const int64_t lastPicture = static_cast<int64_t>(pictures.size() - 1) * 40;
    sentAudio = 0;
    while (sentAudio < audio.size() && static_cast<int64_t>(sentAudio) * 1024 * 1000 / 48000 <= lastPicture) ++sentAudio;
    expected = "," + std::to_string(pictures.size()) + "\naac," + std::to_string(sentAudio) + "\n";
  }
  std::string total() const { return std::to_string(pictures.size() + sentAudio); }

  // Streams every picture and audio frame in timestamp order once a client
  // is listed. Returns false when no client showed up.
  bool feed() {
    const int64_t start = HX_GetTickMs();
    while (HX_ClientList::instance()->clients().empty()) {
      if (HX_GetTickMs() - start > 10000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int64_t base = HX_GetTickMs();
    size_t v = 0, a = 0;
    while (v < pictures.size() || a < audio.size()) {
      const int64_t vt = static_cast<int64_t>(v) * 40, at = static_cast<int64_t>(a) * 1024 * 1000 / 48000;
      if (a < audio.size() && (v >= pictures.size() || at < vt)) {
        HX_ClientList::instance()->EnqueuePacket(Packet(VR_MEDIA_AUDIO, base + at, audio[a++], false));
      } else {
        HX_ClientList::instance()->EnqueuePacket(Packet(VR_MEDIA_VIDEO, base + vt, pictures[v].bytes, pictures[v].key));
        ++v;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Runs the client against the server while feeding it; returns its exit code.
  int runClient(std::vector<std::string> args) {
    VrTransServer server;
    EXPECT_EQ(server.start(), 1);
    args.insert(args.begin(), {OSTREL_CLIENT, "-p", std::to_string(server.listeningPort())});
    Child child;
    child.spawn(args, dir.file("stdout"), dir.file("stderr"));
    EXPECT_TRUE(feed());
    int rc = child.wait(30000);
    server.stop();
    return rc;
  }

  // "codec,packets" per stream, as ffprobe counts them.
  std::string probe(const std::string& file) {
    const std::string out = dir.file("probe.txt");
    Shell(std::string(OSTREL_FFPROBE) + " -v error -count_packets -show_entries stream=codec_name,nb_read_packets "
          "-of csv=p=0 " + file + " > " + out + " 2>&1");
    // MPEG-TS lists its streams a second time under the program.
    std::string text = Slurp(out);
    const size_t blank = text.find("\n\n");
    return blank == std::string::npos ? text : text.substr(0, blank + 1);
  }

  // ffmpeg's complaints while decoding |file| completely (empty when clean).
  std::string decodeErrors(const std::string& file) {
    const std::string out = dir.file("decode.txt");
    Shell(std::string(OSTREL_FFMPEG) + " -v error -i " + file + " -f null - > " + out + " 2>&1");
    return Slurp(out);
  }

  TempDir dir;
  std::vector<Picture> pictures;
  std::vector<std::string> audio;
  size_t sentAudio = 0;
  std::string expected;  // ffprobe's counts after the video codec name
};
}  // namespace

TEST_F(ClientE2E, WritesMpegTsThatFfprobeReads) {
  makeMedia(false);
  int rc = runClient({"-o", dir.file("out.ts"), "-n", total(), "-r", "-s", "7", "-i", "42"});
  EXPECT_EQ(rc, 0) << Slurp(dir.file("stderr"));
  EXPECT_NE(Slurp(dir.file("stdout")).find("video H.264 (28), audio AAC (86018), 2 channels, 48000 Hz"),
            std::string::npos)
      << Slurp(dir.file("stdout"));
  EXPECT_EQ(probe(dir.file("out.ts")), "h264" + expected);
  EXPECT_EQ(decodeErrors(dir.file("out.ts")), "");
  EXPECT_NE(Slurp(dir.file("stderr")).find("packet limit reached: 50 video frames"), std::string::npos);
}

TEST_F(ClientE2E, WritesMatroskaToStandardOutput) {
  makeMedia(false);
  int rc = runClient({"-o", "-", "-f", "mkv", "-n", total()});
  EXPECT_EQ(rc, 0) << Slurp(dir.file("stderr"));
  // The codec information went to standard error, the stream to standard output.
  EXPECT_NE(Slurp(dir.file("stderr")).find("codec information: video H.264"), std::string::npos);
  EXPECT_EQ(probe(dir.file("stdout")), "h264" + expected);
  EXPECT_EQ(decodeErrors(dir.file("stdout")), "");
}

TEST_F(ClientE2E, MjpegGoesIntoMatroskaButNotMpegTs) {
  HX_ServerConfiguration::instance()->m_iEncodeType = 2;
  makeMedia(true);
  int rc = runClient({"-o", dir.file("out.mkv"), "-n", total(), "-q"});
  EXPECT_EQ(rc, 0) << Slurp(dir.file("stderr"));
  EXPECT_EQ(probe(dir.file("out.mkv")), "mjpeg" + expected);
  EXPECT_EQ(decodeErrors(dir.file("out.mkv")), "");

  VrTransServer server;
  ASSERT_EQ(server.start(), 1);
  Child child;
  child.spawn({OSTREL_CLIENT, "-p", std::to_string(server.listeningPort()), "-o", dir.file("out.ts")},
              dir.file("stdout"), dir.file("stderr"));
  EXPECT_EQ(child.wait(10000), 4);
  EXPECT_NE(Slurp(dir.file("stderr")).find("MJPEG video cannot be carried in MPEG-TS"), std::string::npos);
}

namespace {
// A one-shot fake server: accepts one client, reads its request, answers with
// |reply| and closes.
int FakeServer(const std::string& reply, const std::vector<std::string>& clientArgs, TempDir& dir) {
  int listener = HX_TcpServer(0, "127.0.0.1");
  sockaddr_in a{};
  socklen_t n = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
  std::vector<std::string> args = {OSTREL_CLIENT, "-p", std::to_string(ntohs(a.sin_port)), "-t", "5"};
  args.insert(args.end(), clientArgs.begin(), clientArgs.end());
  Child child;
  child.spawn(args, dir.file("stdout"), dir.file("stderr"));
  int fd = ::accept(listener, nullptr, nullptr);
  char request[24];
  size_t got = 0;
  while (got < sizeof request) {
    ssize_t r = ::read(fd, request + got, sizeof request - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  SendAll(fd, reply);
  ::close(fd);
  ::close(listener);
  return child.wait(10000);
}

std::string CodecInfoBody() {
  // packet_codeinfo {28, 86018, 2, 48000, 96000, 3, 38} in protobuf wire form.
  return std::string("\x08\x1c\x10\x82\xa0\x05\x18\x02\x20\x80\xf7\x02\x28\x80\xee\x05\x30\x03\x38\x26", 20);
}
}  // namespace

TEST_F(ClientE2E, ProtocolErrorsEndTheClientWithAClearMessage) {
  struct Case {
    std::string reply;
    const char* message;
  } cases[] = {
      {Frame(3002, 1, 0, CodecInfoBody(), 0xDEADBEEF), "bad message header (magic deadbeef)"},
      {BigEndian(0x14000000, 4) + Frame(3002, 1, 0).substr(4), "bad message length"},
      {Frame(3002, 9, 0, CodecInfoBody()), "the server echoed sequence 9"},
      {Frame(3002, 1, 0, "\x08\x1c"), "codec information is malformed or incomplete"},
      {Frame(3003, 1, 0), "expected the codec information (3002), got command 3003"},
      {"", "the server closed the connection before answering"},
      {Frame(3002, 1, 0, CodecInfoBody()) + Frame(3003, 1, 0, "junk"), "packet_response is malformed"},
      {Frame(3002, 1, 0, CodecInfoBody()) + Frame(3002, 1, 0, CodecInfoBody()).substr(0, 30),
       "closed the connection in the middle of a message"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FakeServer(c.reply, {}, dir), 3) << c.message;
    EXPECT_NE(Slurp(dir.file("stderr")).find(c.message), std::string::npos) << Slurp(dir.file("stderr"));
  }
  // The same codec information is fine, and --info-only stops there.
  EXPECT_EQ(FakeServer(Frame(3002, 1, 0, CodecInfoBody()), {"--info-only"}, dir), 0);
  EXPECT_NE(Slurp(dir.file("stdout")).find("48000 Hz, 96000 bit/s, channel layout 3, profile 38"), std::string::npos);
}

TEST_F(ClientE2E, UsageErrorsAndHelp) {
  Child child;
  child.spawn({OSTREL_CLIENT, "--help"}, dir.file("stdout"), dir.file("stderr"));
  EXPECT_EQ(child.wait(5000), 0);
  EXPECT_NE(Slurp(dir.file("stdout")).find("Usage: ostrel-client"), std::string::npos);
  Child bad;
  bad.spawn({OSTREL_CLIENT, "--format", "avi"}, dir.file("stdout"), dir.file("stderr"));
  EXPECT_EQ(bad.wait(5000), 1);
  EXPECT_NE(Slurp(dir.file("stderr")).find("unknown format: avi"), std::string::npos);
  Child refused;
  int port;
  {
    int probe = HX_TcpServer(0, "127.0.0.1");
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    ::close(probe);
  }
  refused.spawn({OSTREL_CLIENT, "-p", std::to_string(port)}, dir.file("stdout"), dir.file("stderr"));
  EXPECT_EQ(refused.wait(5000), 2);
  EXPECT_NE(Slurp(dir.file("stderr")).find("Connection refused"), std::string::npos);
}
