#pragma once
// One PipeWire video stream received into a "latest picture" slot: connects to
// a remote (a descriptor the screen-cast portal opened, or the session's
// default daemon), asks for raw video in shared memory (BGRx, BGRA, RGBx or
// RGBA, any size, MemFd or MemPtr buffers — never DMA-BUF), maps the buffers
// and converts the newest buffer of each process cycle to top-down BGRA.
// It owns its thread loop, context, core, registry and stream.
// Threads: Connect, Disconnect and the destructor by one thread at a time
// (the owner's; the screen source's tick while it reconnects). The loop's own
// thread runs the callbacks. TakeLatest, state, ended and ending may be called
// from any one thread while the callbacks run, but not during Connect or
// Disconnect.
#include <atomic>
#include <cstdint>
#include <string>

#include <memory>

#include "core/HX_Handle.h"
#include "core/HX_Mutex.h"
#include "platform/pipewire/HX_PipeWirePicture.h"

class HX_PipeWireStream {
 public:
  enum class State {
    kUnconnected,  // before Connect and after Disconnect
    kConnecting,   // connected to the daemon, waiting for the link and a format
    kPaused,       // linked and negotiated, no buffers flowing
    kStreaming,    // buffers flowing
    kEnded,        // the producer's node went away, or the daemon unlinked the stream
    kFailed,       // the stream or the connection to the daemon failed
  };

  // Connect's failures; |ending()| then holds the reason.
  static constexpr int kNoLoop = -1;     // the thread loop or context could not be made
  static constexpr int kNoDaemon = -2;   // the remote did not accept a connection
  static constexpr int kNoNode = -3;     // the remote has no node of that id
  static constexpr int kNoStream = -4;   // the stream could not be made or connected

  // How long Connect waits for the daemon to list its objects.
  static constexpr int kSyncTimeoutMs = 3000;

  HX_PipeWireStream();
  ~HX_PipeWireStream();
  HX_PipeWireStream(const HX_PipeWireStream&) = delete;
  HX_PipeWireStream& operator=(const HX_PipeWireStream&) = delete;

  // Connects to |remote| (taken over; invalid: the default daemon) and starts
  // receiving node |nodeId|. 0 once the stream is asked for — pictures come
  // later — or one of the codes above. Failures and endings are not logged
  // here (the caller decides how often one is worth a line); a stream that
  // starts streaming is said once at INFO. Disconnects an earlier stream first.
  int Connect(HX_UniqueFd remote, uint32_t nodeId);
  // Stops the loop and releases everything; idempotent.
  void Disconnect();

  // When a picture newer than |*picture| arrived: swaps it into |*picture|
  // (whose old pixel store goes back to the slot for reuse) and returns true.
  bool TakeLatest(HX_PipeWirePicture* picture);

  State state() const { return m_eState.load(); }
  // True once the stream has ended or failed (until the next Connect).
  bool ended() const;
  // Why the stream ended or failed, or why Connect failed: a phrase that
  // follows "the PipeWire stream of node N" ("ended: its producer went away").
  std::string ending() const;
  uint32_t node() const { return m_uiNode; }

 private:
  // The PipeWire objects and the callbacks that reach them, kept out of this
  // header so that users of the stream do not include PipeWire.
  struct Impl;

  // Loop thread or Connect: the stream is over; the first reason stands.
  void End(State state, const std::string& why);
  // With the loop locked: lists the daemon's objects; 0, kNoDaemon or kNoNode.
  int WaitForNode();
  // Loop thread: converts |view|'s picture into the slot.
  void Receive(const HX_PipeWireBufferView& view);

  std::unique_ptr<Impl> m_pImpl;
  uint32_t m_uiNode = 0;
  std::atomic<State> m_eState{State::kUnconnected};

  // Written by the loop's callbacks while Connect waits under the loop lock.
  int m_iSyncSeq = -1;
  bool m_bSynced = false;
  bool m_bNodeSeen = false;

  // Loop thread only: the negotiated format and the buffer being filled.
  HX_PipeWirePixels m_ePixels = HX_PipeWirePixels::kBGRx;
  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  bool m_bFormat = false;
  bool m_bBadLayoutSaid = false;  // one line per stream for unusable buffers
  HX_PipeWirePicture m_stBack;
  uint64_t m_ullCount = 0;

  mutable HX_Mutex m_mutex;
  HX_PipeWirePicture m_stReady HX_GUARDED_BY(m_mutex);
  std::string m_strEnding HX_GUARDED_BY(m_mutex);
};
