#pragma once
// One capture run: creates the outputs (encoder pair, recorder, streaming
// server or NDI sender) and then the capture session, routes raw frames and
// encoded packets between them, and tears everything down in the reverse order
// of the data flow. start, stop and checkDiskSpace belong to the owner's thread
// (the dialog's UI thread or the headless runner's main thread);
// OnSessionFrame and EncodeCallBack run on the session's and the encoder
// pair's threads while the run is up.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/VrMediaFrame.h"

class HX_IOperatorPrompt;
class VrAVEncoder;
class VrNDISend;
class VrPublisher;
class VrRecordFilter;
class VrTransServer;
class VrTrapper;
class VrTrapperSources;

// What a run has delivered so far, for the operator's status line.
struct VrRunCounters {
  uint64_t m_ullVideoFrames = 0;  // pictures handed to the push output (encoded, or raw for NDI)
  uint64_t m_ullBytes = 0;        // bytes of those pictures and of the encoded sound
  int m_iClients = 0;             // sessions of the private protocol now listed
  std::string m_strRecordFile;    // the recording being written, empty when none
  bool m_bPublishing = false;       // the run publishes to a media server
  bool m_bPublishConnected = false;
  uint64_t m_ullPublishBytes = 0;   // bytes the publisher sent so far
  uint64_t m_ullPublishDropped = 0; // packets it dropped so far
};

class VrCaptureRun {
 public:
  // Free bytes below which the operator is asked once per run whether to stop recording.
  static constexpr int64_t kLowDiskBytes = 524288000;
  static constexpr int kDiskCheckPeriodMs = 500;

  // Start results.
  static constexpr int kStarted = 0;
  static constexpr int kNoOutputSize = -1;
  static constexpr int kEncoderFailed = -2;
  static constexpr int kServerFailed = -3;
  static constexpr int kVideoFailed = -4;
  static constexpr int kAudioStopped = -5;  // sound failed and the operator chose to stop
  static constexpr int kCaptureFailed = -6;
  static constexpr int kNdiFailed = -7;  // the NDI sender's threads did not start
  static constexpr int kPublishFailed = -8;  // PublishUrl is unusable, or the run encodes MJPEG

  explicit VrCaptureRun(HX_IOperatorPrompt* prompt);
  ~VrCaptureRun();  // runs the stop order
  VrCaptureRun(const VrCaptureRun&) = delete;
  VrCaptureRun& operator=(const VrCaptureRun&) = delete;

  // The start order. On failure the operator has been told, the stop order has
  // run and no run object is left.
  int start();
  // The stop order; safe on a partly started run and when called twice.
  void stop();
  bool isRunning() const { return m_bRunning; }
  // The sound source failed and the operator chose to go on without it.
  bool runsWithoutSound() const { return m_bWithoutSound; }

  // The disk-space watch; the owner calls it every kDiskCheckPeriodMs while
  // the run is up. Asks at most once per run and stops only the recorder.
  void checkDiskSpace();

  // Raw frames from the session: to the NDI sender and the encoder pair.
  static int OnSessionFrame(VrMediaFramePtr frame, void* context);
  // Encoded packets from the pair: a private copy to the client list first,
  // then the packet itself to the recorder.
  static int EncodeCallBack(VrMediaFramePtr packet, void* context);

  // Test seams: the maker of the session's sources, and the free-space probe.
  void setSources(VrTrapperSources* sources) { m_pSources = sources; }
  void setFreeSpaceProbe(std::function<int64_t(const std::string&)> probe) {
    m_fnFreeSpace = std::move(probe);
  }

  // Which outputs exist (valid while the run is up).
  bool hasEncoder() const { return m_pEncoder != nullptr; }
  bool hasRecorder() const { return std::atomic_load(&m_pRecorder) != nullptr; }
  bool hasServer() const { return m_pServer != nullptr; }
  bool hasNdi() const { return m_pNdi != nullptr; }
  bool hasPublisher() const { return m_pPublisher != nullptr; }
  bool hasSession() const { return m_pTrapper != nullptr; }
  // The port the server listens on, or -1.
  int serverPort() const;
  // Counters since the run started. Owner's thread; reads only atomics and
  // the mutex-guarded lists, never a socket.
  VrRunCounters counters() const;
  // Since when (clock ms) the run has had no display to capture, or -1.
  int64_t displayLostSince() const;

 private:
  int Fail(int code, const char* text);
  // A monitor or window chosen through the portal: opens its grant ahead and
  // sizes the outputs to it. 0, or the sources' negative code (logged).
  int PrepareVideoSource();
  // The sources handed in by setSources, else the real ones.
  VrTrapperSources& Sources() const;
  // Checks PublishUrl and creates the publisher; kStarted or kPublishFailed.
  int CreatePublisher();
  void StopRecorder();

  HX_IOperatorPrompt* m_pPrompt;
  VrTrapperSources* m_pSources = nullptr;
  std::function<int64_t(const std::string&)> m_fnFreeSpace;

  // Run objects, each null when not part of this run.
  std::unique_ptr<VrTrapper> m_pTrapper;
  std::unique_ptr<VrNDISend> m_pNdi;
  std::unique_ptr<VrAVEncoder> m_pEncoder;
  std::unique_ptr<VrTransServer> m_pServer;
  // Set before the encoder pair starts and cleared after it stopped.
  std::unique_ptr<VrPublisher> m_pPublisher;
  // Shared and swapped atomically: the disk-space watch may take the recorder
  // out while the encoder pair's thread is handing it a packet.
  std::shared_ptr<VrRecordFilter> m_pRecorder;

  // Written on the session's and the pair's threads, read by counters().
  std::atomic<uint64_t> m_ullVideoFrames{0};
  std::atomic<uint64_t> m_ullBytes{0};

  bool m_bRunning = false;
  bool m_bWithoutSound = false;
  bool m_bDiskWatch = false;  // armed while recording; cleared after the question
};
