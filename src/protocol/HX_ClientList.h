#pragma once
// Sits between the encoders and the client sessions: buffers encoded video and
// audio in two bounded queues and hands the queued packets in timestamp order
// to every listed session. Each enqueue wakes the network thread through an
// eventfd registered with the event loop, so a packet goes out within the
// loop's next pass; the 10 ms timer runs the same step as the fallback.
// Enqueue* is safe from any thread (each queue has its own mutex); the send
// step, add and remove run on the network thread; start/stop on the thread
// that owns the loop at that moment. Sessions are not owned. One instance per
// process, created on first use and destroyed by the server's stop.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/HX_Handle.h"
#include "core/HX_Mutex.h"
#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"
#include "net/HX_INet.h"
#include "net/HX_ITimer.h"
#include "net/HX_NetDefs.h"

class VrTransClient;

class HX_ClientList : public HX_ITimer, private HX_INet {
 public:
  static constexpr size_t kVideoQueueLimit = 30;
  static constexpr size_t kAudioQueueLimit = 100;
  static constexpr uint64_t kTimerDelayMs = 0;
  static constexpr uint64_t kTimerIntervalMs = 10;

  // The process-wide list, created on first use. Callers hold the returned
  // reference for the duration of their call.
  static std::shared_ptr<HX_ClientList> instance();
  // The list when one exists, else null (never creates one).
  static std::shared_ptr<HX_ClientList> existingInstance();
  // Drops the process-wide reference; a later instance() creates a new list.
  static void destroyInstance();

  ~HX_ClientList() override;
  HX_ClientList(const HX_ClientList&) = delete;
  HX_ClientList& operator=(const HX_ClientList&) = delete;

  // Arms the pacing timer and registers the wake-up descriptor in the event
  // loop (without one, the timer alone sends).
  int start();
  // Disarms the timer, unregisters the wake-up descriptor and asks every
  // listed session to shut its sending side down once its queue has drained.
  void stop();

  // Takes a private packet (the caller's copy): video to the video queue,
  // anything else to the audio queue. A packet without a payload is dropped.
  void EnqueuePacket(VrMediaFramePtr packet);
  void EnqueueVideo(VrMediaFramePtr packet);
  void EnqueueAudio(VrMediaFramePtr packet);
  VrMediaFramePtr DequeueVideoPacket();
  VrMediaFramePtr DequeueAudioPacket();

  // The timer's expiry: runs the send step.
  int onTimer(uint64_t timerId) override;
  // The send step: sends every queued video packet, each preceded by the
  // audio packets older than it, then the audio not newer than the last
  // picture sent; audio newer than the newest video waits for the next one.
  // Network thread only.
  void sendQueued();
  void broadcastPacket(const VrMediaFramePtr& packet);

  // A session is listed once however often it asks.
  void addClient(VrTransClient* session);
  void removeClient(VrTransClient* session);
  std::vector<VrTransClient*> clients() const;

  size_t videoQueueSize() const;
  size_t audioQueueSize() const;
  uint64_t timerId() const { return m_ullTimerId; }

 private:
  HX_ClientList();

  // The wake-up descriptor became readable: drains it and runs the send step.
  int handleRead() override;
  int handleWrite() override { return 0; }
  // Makes the wake-up descriptor readable; any thread.
  void wake();

  // More than the limit waiting: the queue is emptied before the next packet.
  VrMediaFrameQueue m_stVideoQueue{HX_DropPolicy::kFlush, kVideoQueueLimit + 1};
  VrMediaFrameQueue m_stAudioQueue{HX_DropPolicy::kFlush, kAudioQueueLimit + 1};
  VrMediaFramePtr m_pPendingVideo;
  VrMediaFramePtr m_pPendingAudio;
  int64_t m_llLastVideoTime = 0;  // of the last video packet broadcast
  bool m_bVideoSent = false;
  mutable HX_Mutex m_mtxClients;
  std::vector<VrTransClient*> m_vecClients HX_GUARDED_BY(m_mtxClients);
  uint64_t m_ullTimerId = kInvalidTimerId;
  HX_UniqueFd m_wakeFd;         // eventfd, made with the list, closed with it
  bool m_bWakeRegistered = false;  // owner's or network thread, as start/stop
};
