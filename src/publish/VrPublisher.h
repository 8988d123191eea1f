#pragma once
// Publishes a run's encoded H.264 and AAC packets to a media server through
// libavformat's own protocols: MPEG-TS over SRT or RIST, FLV over RTMP. The
// capture never waits for the server: packets go through a bounded queue
// (kMaxQueuedBytes, then everything up to the next key frame is dropped), and
// only the publisher's thread connects and writes, each step limited by
// kIoTimeoutMs. When the server refuses, goes away or restarts, the thread
// reconnects with a back-off from kFirstRetryMs doubling to kMaxRetryMs and
// starts again at a key frame; each outage is logged once when it begins and
// once, with its duration, when it ends.
// PushPacket runs on the thread that delivers encoded packets; start, stop
// and destruction on the owner's thread; stats on any thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/HX_Mutex.h"
#include "core/HX_WakeSignal.h"
#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"
#include "encode/VrPtsGuard.h"
#include "media/VrAVHandle.h"
#include "publish/VrPublishParams.h"

class VrPublisher {
 public:
  static constexpr uint64_t kMaxQueuedBytes = 8ull * 1024 * 1024;
  static constexpr int kFirstRetryMs = 1000;
  static constexpr int kMaxRetryMs = 30000;
  // Longest a connect, a header, a packet or the closing may block.
  static constexpr int kIoTimeoutMs = 5000;
  // A connection that lasted this long resets the back-off to kFirstRetryMs.
  static constexpr int kHealthyMs = 10000;

  struct Stats {
    bool m_bConnected = false;
    uint64_t m_ullBytesSent = 0;  // payload bytes the muxer accepted
    uint64_t m_ullDropped = 0;    // packets dropped: queue full, the server unreachable, or
                                  // a picture with no free frame slot near its time
    uint64_t m_ullOutages = 0;    // outages begun so far
  };

  VrPublisher(const VrPublishTarget& target, const VrPublishParams& params);
  // Calls stop().
  ~VrPublisher();
  VrPublisher(const VrPublisher&) = delete;
  VrPublisher& operator=(const VrPublisher&) = delete;

  // Starts the thread, which connects in the background: a server that is
  // down at start only begins an outage. 0, or -1 when no thread starts.
  int start();
  // Refuses further packets, aborts a blocked connect or write, closes the
  // connection (the muxer's trailer gets up to kStopTimeoutMs) and joins the
  // thread. Idempotent.
  void stop();

  // Takes a shared reference to one encoded packet; never blocks on the
  // server.
  void PushPacket(VrMediaFramePtr packet);

  Stats stats() const;
  const VrPublishTarget& target() const { return m_stTarget; }
  // Bytes waiting in the queue (tests, and the memory bound).
  uint64_t queuedBytes() const { return m_queue.bytes(); }

  // Test seams: call before start().
  void setRetryDelays(int firstMs, int maxMs) {
    m_iFirstRetryMs = firstMs;
    m_iMaxRetryMs = maxMs;
  }
  void setIoTimeout(int ms) { m_iIoTimeoutMs = ms; }

 private:
  static constexpr int kStopTimeoutMs = 1000;

  void WriterMain();
  // Opens the connection and writes the container header; -1 with |reason|.
  int Connect(std::string* reason);
  // Writes one packet; -1 with |reason| when the connection failed.
  int Write(const VrMediaFramePtr& packet, std::string* reason);
  // Closes the connection; |graceful| writes the trailer first.
  void Disconnect(bool graceful);
  void BeginOutage(const std::string& reason);
  void EndOutage();
  // The interrupt callback of every blocking libavformat call.
  static int Interrupted(void* self);
  std::string ErrorText(int err) const;
  void ArmDeadline(int ms);

  const VrPublishTarget m_stTarget;
  const VrPublishParams m_stParams;

  std::atomic<bool> m_bStop{false};
  // The thread has finished writing and closes: only the deadline interrupts.
  std::atomic<bool> m_bClosing{false};
  std::atomic<int64_t> m_llDeadlineMs{0};
  // True while connected; PushPacket drops (and counts) everything else.
  std::atomic<bool> m_bAccepting{false};
  std::atomic<bool> m_bConnected{false};
  std::atomic<bool> m_bInOutage{false};
  std::atomic<uint64_t> m_ullBytesSent{0};
  std::atomic<uint64_t> m_ullOutageDropped{0};
  std::atomic<uint64_t> m_ullOutages{0};
  std::atomic<uint64_t> m_ullLateDropped{0};

  // Written once by PushPacket at the first key frame, read by the thread
  // after m_bHaveParameterSets.
  std::vector<uint8_t> m_parameterSets;
  std::atomic<bool> m_bHaveParameterSets{false};
  // Pushing thread only: a queue-full episode is running.
  bool m_bDropEpisode = false;

  HX_WakeSignal m_wake;  // a push or the stop request
  VrMediaFrameQueue m_queue{HX_DropPolicy::kDropToKeyFrame, VrMediaFrameQueue::kNoItemLimit,
                            kMaxQueuedBytes, &m_wake};

  HX_Mutex m_threadMutex;
  std::thread m_thread HX_GUARDED_BY(m_threadMutex);

  // Publisher thread only.
  VrOutputContextPtr m_pOutput;
  AVStream* m_pVideoStream = nullptr;
  AVStream* m_pAudioStream = nullptr;
  VrAVPacketPtr m_pPacket;
  bool m_bHaveOrigin = false;
  int64_t m_llOriginMs = 0;
  VrPtsGuard m_videoPts;  // per connection
  int64_t m_llLastAudioDts = 0;
  bool m_bWroteAudio = false;
  int m_iFirstRetryMs = kFirstRetryMs;
  int m_iMaxRetryMs = kMaxRetryMs;
  int m_iIoTimeoutMs = kIoTimeoutMs;
  int m_iRetryMs = kFirstRetryMs;
  std::chrono::steady_clock::time_point m_nextTry;
  std::chrono::steady_clock::time_point m_outageBegan;
  std::chrono::steady_clock::time_point m_connectedAt;
};
