#include "protocol/HX_ProtobufConnection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProtocolTestUtil.h"
#include "net/HX_EventLoop.h"
#include "net/HX_SocketApi.h"
#include "protocol/HX_TcpConnUtils.h"
#include "support/LogCapture.h"

namespace {
struct Received {
  uint32_t cmd;
  uint32_t seq;
  std::string body;
};

class Recorder : public HX_ProtobufConnection {
 public:
  explicit Recorder(uint64_t bound = SendQueue::kNoByteLimit) : HX_ProtobufConnection(bound) {}
  std::vector<Received> messages;
  int result = 0;
  std::string answer;  // sent back for every message when not empty
  void arm(uint64_t limitMs) { ASSERT_EQ(armIdleCheck(limitMs), 0); }
  size_t receivedSoFar() const { return m_pstRecvMsgBlk ? m_pstRecvMsgBlk->length() : 0; }
  void adopt(int fd) {
    m_iSocketFd = fd;
    m_eConnectionState = kConnected;
    ASSERT_EQ(HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this), 0);
  }
  int handleNetMessage(ACE_Message_Block* body, const HX_NetCmd_Header& h) override {
    messages.push_back(Received{h.m_uiCmdId, h.m_uiSequenceNo, std::string(body->rd_ptr(), body->length())});
    if (!answer.empty()) {
      HX_NetCmd_Header reply = h;
      sendNetResponse(reply, answer);
    }
    return result;
  }
};

struct Pair {
  int fd[2];
  Pair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    EXPECT_EQ(HX_NonBlock(fd[0]), 0);
  }
  ~Pair() {
    if (fd[1] >= 0) ::close(fd[1]);
  }
};

void Pass() { HX_EventLoop::instance()->runOnce(); }

bool PassUntilClosed(const HX_BaseConnection& c, int passes = 3000) {
  for (int i = 0; i < passes && !c.isClosed(); ++i) Pass();
  return c.isClosed();
}

// Writes as much of |bytes| from |offset| as the socket takes now.
size_t SendSome(int fd, const std::string& bytes, size_t offset) {
  while (offset < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    offset += static_cast<size_t>(n);
  }
  return offset;
}

void Enlarge(int fd, int option) {
  int big = 4 << 20;
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, option, &big, sizeof big), 0);
}
}  // namespace

TEST(HX_TcpConnUtils, AMessageArrivingOneByteAtATimeIsAssembled) {
  Pair p;
  const std::string msg = Frame(3002, 9, 1, "hello");
  HX_MsgBlockPtr block = HX_CreateMsgBlock(512);
  for (size_t i = 0; i < msg.size(); ++i) {
    ASSERT_EQ(::write(p.fd[1], &msg[i], 1), 1);
    int rc = HX_TcpConnUtils::recvNetMsg(p.fd[0], block.get());
    if (i + 1 < msg.size()) {
      ASSERT_EQ(rc, HX_TcpConnUtils::kNeedMore) << "byte " << i;
      // Header first (24 bytes), then exactly the announced message.
      EXPECT_EQ(block->size(), i < 23 ? 24u : msg.size());
    } else {
      ASSERT_EQ(rc, 0);
    }
  }
  EXPECT_EQ(std::string(block->rd_ptr(), block->length()), msg);
  // Nothing is waiting in the socket: another call would block.
  HX_MsgBlockPtr next = HX_CreateMsgBlock(512);
  EXPECT_EQ(HX_TcpConnUtils::recvNetMsg(p.fd[0], next.get()), HX_TcpConnUtils::kNeedMore);
  ::close(p.fd[0]);
}

TEST(HX_TcpConnUtils, ReceiveStopsAtTheMessageEndAndRefusesBadInput) {
  Pair p;
  LogCapture log;
  // Two messages in one write: the first receive takes only the first.
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3001, 1, 1) + Frame(3002, 2, 2, "xy")));
  HX_MsgBlockPtr a = HX_CreateMsgBlock(512);
  ASSERT_EQ(HX_TcpConnUtils::recvNetMsg(p.fd[0], a.get()), 0);
  EXPECT_EQ(a->length(), 24u);
  HX_MsgBlockPtr b = HX_CreateMsgBlock(512);
  ASSERT_EQ(HX_TcpConnUtils::recvNetMsg(p.fd[0], b.get()), 0);
  EXPECT_EQ(b->length(), 26u);

  // A full block counts as complete without touching the socket.
  HX_MsgBlockPtr full = HX_CreateMsgBlock(0);
  EXPECT_EQ(HX_TcpConnUtils::recvNetMsgPart(p.fd[0], full.get()), 0);

  EXPECT_EQ(HX_TcpConnUtils::recvNetMsg(-1, a.get()), -1);
  EXPECT_TRUE(log.contains("iSocketFd is invalid"));
  EXPECT_EQ(HX_TcpConnUtils::recvNetMsg(p.fd[0], nullptr), -1);
  EXPECT_TRUE(log.contains("NULL == pstMsgBlk"));

  ASSERT_TRUE(SendAll(p.fd[1], BigEndian(19, 4) + Frame(3002, 1, 1).substr(4)));
  HX_MsgBlockPtr c = HX_CreateMsgBlock(512);
  EXPECT_EQ(HX_TcpConnUtils::recvNetMsg(p.fd[0], c.get()), -1);
  EXPECT_TRUE(log.contains("HX_TcpConnUtils::recvNetMsg: HX_NetCmd_Header::peekPakcetLen failed"));
  ::close(p.fd[0]);
}

TEST(HX_ProtobufConnectionRead, OneMessagePerPassAndAnEmptyBodyAt20) {
  Pair p;
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3001, 1, 5) + Frame(3002, 2, 5, "body")));
  Pass();
  ASSERT_EQ(c->messages.size(), 1u);
  EXPECT_EQ(c->messages[0].cmd, 3001u);
  EXPECT_EQ(c->messages[0].body, "");
  Pass();
  ASSERT_EQ(c->messages.size(), 2u);
  EXPECT_EQ(c->messages[1].seq, 2u);
  EXPECT_EQ(c->messages[1].body, "body");
  EXPECT_FALSE(c->isClosed());
  delete c;
}

TEST(HX_ProtobufConnectionRead, APeerClosingMidBodyClosesTheConnection) {
  Pair p;
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  const int fd = p.fd[0];
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3002, 1, 1, "0123456789").substr(0, 30)));
  Pass();
  EXPECT_FALSE(c->isClosed());
  ::close(p.fd[1]);
  p.fd[1] = -1;
  LogCapture log;
  Pass();
  EXPECT_TRUE(c->isClosed());
  EXPECT_TRUE(c->messages.empty());
  auto lines = log.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "HX_TcpConnUtils::recvNetMsgPart: peer closed gracefully, " + std::to_string(fd));
  EXPECT_EQ(lines[1].text, "HX_TcpConnUtils::recvNetMsg: recv body failed");
  EXPECT_EQ(lines[2].text,
            "HX_ProtobufConnection::handleRead: HX_TcpConnUtils::recvNetMsg failed, iSocket=" + std::to_string(fd));
  EXPECT_EQ(c->socketFd(), kInvalidSocketId);
  delete c;
}

TEST(HX_ProtobufConnectionRead, ForeignMagicIsNoticedAfterTheWholeMessage) {
  Pair p;
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3002, 1, 1, "abcdef", 0x12345678) + "NEXT"));
  LogCapture log;
  Pass();
  EXPECT_TRUE(c->isClosed());
  EXPECT_TRUE(log.contains("magic number not match, uiMagicNumber=12345678, MAGIC_NUMBER=cafedead"));
  EXPECT_TRUE(log.contains("HX_ProtobufConnection::handleRead: stHeader.Decode(&stMsgBlock) failed"));
  EXPECT_TRUE(c->messages.empty());
  delete c;
}

TEST(HX_ProtobufConnectionRead, AFailingHandlerClosesTheConnection) {
  Pair p;
  Recorder* c = new Recorder;
  c->result = -5;
  c->adopt(p.fd[0]);
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3002, 1, 1)));
  LogCapture log;
  Pass();
  EXPECT_EQ(c->messages.size(), 1u);
  EXPECT_TRUE(c->isClosed());
  EXPECT_TRUE(log.contains("handleNetMessage failed."));
  delete c;
}

TEST(HX_ProtobufConnectionSend, FramesTheBodyBehindTheCallersHeader) {
  Pair p;
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  HX_NetCmd_Header h;
  h.m_uiCmdId = 3003;
  h.m_uiSequenceNo = 4;
  h.m_ullRequesterId = 77;
  ASSERT_EQ(c->sendNetResponse(h, std::string("payload")), 0);
  EXPECT_EQ(h.m_uiPacketLen, 27u);  // the caller's header is updated
  EXPECT_EQ(c->queuedBytes(), 31u);
  Pass();
  std::string got(64, '\0');
  ssize_t n = ::recv(p.fd[1], &got[0], got.size(), MSG_DONTWAIT);
  ASSERT_EQ(n, 31);
  got.resize(31);
  EXPECT_EQ(got, Frame(3003, 4, 77, "payload"));

  // A body the protocol cannot carry is refused before anything is queued.
  LogCapture log;
  std::string huge(HX_NetCmd_Header::kMaxPacketLen - 19, 'x');
  EXPECT_EQ(c->sendNetResponse(h, huge), -1);
  EXPECT_EQ(c->queuedBytes(), 0u);
  EXPECT_TRUE(log.contains("exceeds the protocol's limit"));
  std::string largest(HX_NetCmd_Header::kMaxPacketLen - 20, 'x');
  EXPECT_EQ(c->sendNetResponse(h, largest), 0);
  delete c;
}

TEST(HX_ProtobufConnectionRead, AReadableEventTakesOnlyItsShareOfALargeMessage) {
  Pair p;
  Enlarge(p.fd[0], SO_RCVBUF);
  Enlarge(p.fd[1], SO_SNDBUF);
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  std::string body(512 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13 + i / 509);
  const std::string msg = Frame(3002, 3, 1, body);
  size_t sent = SendSome(p.fd[1], msg, 0);
  ASSERT_GT(sent, 24 + 2 * HX_ProtobufConnection::kMaxBytesReadPerPass);  // far more than one share waits

  Pass();
  EXPECT_EQ(c->receivedSoFar(), 24 + HX_ProtobufConnection::kMaxBytesReadPerPass);
  for (int i = 0; i < 1000 && c->messages.empty(); ++i) {
    sent = SendSome(p.fd[1], msg, sent);
    Pass();
  }
  ASSERT_EQ(c->messages.size(), 1u);
  EXPECT_TRUE(c->messages[0].body == body);
  EXPECT_FALSE(c->isClosed());
  delete c;
}

TEST(HX_ProtobufConnectionBound, APeerAskingWithoutReadingIsClosedOnceBesideOneThatReads) {
  Pair flood, calm;
  int small = 4096;
  ASSERT_EQ(::setsockopt(flood.fd[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const uint64_t kBound = 64 * 1024;
  Recorder* greedy = new Recorder(kBound);
  Recorder* polite = new Recorder(kBound);
  greedy->answer = polite->answer = std::string(16 * 1024, 'a');
  greedy->adopt(flood.fd[0]);
  polite->adopt(calm.fd[0]);
  std::string requests;
  for (uint32_t i = 0; i < 400; ++i) requests += Frame(3002, i, 1);
  ASSERT_TRUE(SendAll(flood.fd[1], requests));
  MessageReader reader(calm.fd[1], [] { Pass(); });

  LogCapture log;
  uint32_t asked = 0, answered = 0;
  for (int i = 0; i < 3000 && !greedy->isClosed(); ++i) {
    // The reading peer keeps one request in flight and gets every answer.
    if (answered == asked) ASSERT_TRUE(SendAll(calm.fd[1], Frame(3002, ++asked, 2)));
    Pass();
    WireMessage m;
    while (reader.next(&m, 0) == 1) ++answered;
  }
  ASSERT_TRUE(greedy->isClosed());
  EXPECT_EQ(log.count("keeps sending requests without reading the answers"), 1);
  // Answered up to its bound (media bound plus the answer allowance), not all 400.
  EXPECT_GE(greedy->messages.size(), (kBound + HX_BaseConnection::kAnswerAllowanceBytes) / (16 * 1024));
  EXPECT_LT(greedy->messages.size(), 400u);
  EXPECT_FALSE(polite->isClosed());
  EXPECT_GT(answered, 10u);
  delete greedy;
  delete polite;
}

TEST(HX_ProtobufConnectionIdle, AMessageLeftHalfSentIsClosedAfterTheLimit) {
  Pair p;
  Recorder* c = new Recorder;
  c->adopt(p.fd[0]);
  c->arm(100);
  LogCapture log;
  // A request completed in time keeps it open ...
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3001, 1, 1)));
  Pass();
  ASSERT_EQ(c->messages.size(), 1u);
  // ... the next one stops after ten bytes of its body.
  ASSERT_TRUE(SendAll(p.fd[1], Frame(3002, 2, 1, std::string(100, 'b')).substr(0, 34)));
  ASSERT_TRUE(PassUntilClosed(*c));
  EXPECT_EQ(log.count("with a message still incomplete"), 1);
  EXPECT_EQ(c->messages.size(), 1u);
  delete c;
}

TEST(HX_ProtobufConnectionBound, ReceiveBuffersForIncompleteMessagesShareOneProcessBound) {
  const uint64_t held = HX_ProtobufConnection::recvBufferBytesHeld();
  HX_ProtobufConnection::setRecvBufferBudget(held + 250000);
  Pair p[4];
  Recorder* c[4];
  for (int i = 0; i < 4; ++i) {
    c[i] = new Recorder;
    c[i]->adopt(p[i].fd[0]);
  }
  LogCapture log;
  // Each announces a 100000-byte body and sends ten bytes of it: two fit.
  const std::string msg = Frame(3002, 1, 1, std::string(100000, 'c'));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(SendAll(p[i].fd[1], msg.substr(0, 34)));
    Pass();
  }
  EXPECT_FALSE(c[0]->isClosed());
  EXPECT_FALSE(c[1]->isClosed());
  EXPECT_TRUE(c[2]->isClosed());
  EXPECT_TRUE(c[3]->isClosed());
  EXPECT_EQ(log.count("incomplete messages hold"), 1);  // one line for the episode
  EXPECT_EQ(HX_ProtobufConnection::recvBufferBytesHeld(), held + 2 * (100000 + 24));

  // A completed message gives its share back.
  ASSERT_TRUE(SendAll(p[0].fd[1], msg.substr(34)));
  for (int i = 0; i < 100 && c[0]->messages.empty(); ++i) Pass();
  ASSERT_EQ(c[0]->messages.size(), 1u);
  EXPECT_EQ(HX_ProtobufConnection::recvBufferBytesHeld(), held + 100000 + 24);
  for (Recorder* r : c) delete r;
  EXPECT_EQ(HX_ProtobufConnection::recvBufferBytesHeld(), held);
  HX_ProtobufConnection::setRecvBufferBudget(HX_ProtobufConnection::kDefaultRecvBufferBudget);
}
