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
  std::vector<Received> messages;
  int result = 0;
  void adopt(int fd) {
    m_iSocketFd = fd;
    m_eConnectionState = kConnected;
    ASSERT_EQ(HX_EventLoop::instance()->registerNetEvent(fd, kReadEvent, this), 0);
  }
  int handleNetMessage(ACE_Message_Block* body, const HX_NetCmd_Header& h) override {
    messages.push_back(Received{h.m_uiCmdId, h.m_uiSequenceNo, std::string(body->rd_ptr(), body->length())});
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
