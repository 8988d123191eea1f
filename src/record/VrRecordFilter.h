#pragma once
// Writes a run's encoded video (H.264 or MJPEG) and AAC packets into
// fragmented MP4 files named after the local time in the record directory,
// splitting by time or size as configured. Every fragment is on the device
// before the next one starts, so a file cut off by a crash or a power loss
// plays up to its last fragment. When the file cannot be written the recorder
// drops packets without queueing them and tries a new file later.
// Owns two bounded packet queues and the writer thread, which owns the open
// file and sleeps until a packet, a retry time or the stop request arrives.
// PushPacket runs on the thread that delivers encoded packets; stop and
// destruction on the owner's thread once no more packets are delivered.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/HX_Mutex.h"
#include "core/HX_WakeSignal.h"
#include "core/VrMediaFrame.h"
#include "core/VrMediaFrameQueue.h"
#include "encode/VrPtsGuard.h"
#include "media/VrAVHandle.h"
#include "record/VrDurableFile.h"
#include "record/VrRecordParams.h"

class VrRecordFilter {
 public:
  // The video queue keeps at most kMaxVideoQueue + 1 packets (the oldest goes);
  // the audio queue is emptied when it holds more than kMaxAudioQueue.
  static constexpr size_t kMaxVideoQueue = 10;
  static constexpr size_t kMaxAudioQueue = 100;
  // Every push and the stop request wake the writer; the limit only bounds
  // a wait that nothing ends.
  static constexpr int kMaxIdleWaitMs = 500;
  // A fragment ends at every H.264 key frame and at least this often.
  static constexpr int kMaxFragmentMs = 2000;
  // After a file fails, the next one is tried this long after the failure,
  // and never sooner than kRetryIntervalMs after the previous attempt.
  static constexpr int kRetryDelayMs = 5000;
  static constexpr int kRetryIntervalMs = 60000;

  explicit VrRecordFilter(const VrRecordParams& params);
  // Calls stop().
  ~VrRecordFilter();
  VrRecordFilter(const VrRecordFilter&) = delete;
  VrRecordFilter& operator=(const VrRecordFilter&) = delete;

  // Takes a shared reference to one encoded packet. Nothing is kept before the
  // first video key frame; that frame supplies the parameter sets and starts
  // the writer thread, which opens the first file.
  void PushPacket(VrMediaFramePtr packet);

  // The full path of the file being written, empty before the first one
  // opens. Any thread (the dialog's status line).
  std::string currentFile() const;

  // Refuses further packets, lets the writer put what is already queued into
  // the file, closes the file and joins the writer. Idempotent.
  void stop();

  void EnqueueVideo(VrMediaFramePtr packet);
  void EnqueueAudio(VrMediaFramePtr packet);
  VrMediaFramePtr DequeueVideo();
  VrMediaFramePtr DequeueAudio();
  size_t VideoQueueSize() const;
  size_t AudioQueueSize() const;

  // True once the first video key frame was accepted.
  bool IsStarted() const { return m_bStarted; }
  // True while packets are taken into the queues: the writer runs and its
  // file is open (false from a failed file until a new one opens).
  bool IsWriting() const { return m_bAccepting; }
  // Video packets dropped because no frame slot within a frame of their
  // time was free in the file. Any thread.
  uint64_t LateVideoDropped() const { return m_ullLateVideo; }

  // Test seam: the retry delays (kRetryDelayMs, kRetryIntervalMs). Call
  // before the first packet.
  void setRetryDelays(int delayMs, int intervalMs) {
    m_iRetryDelayMs = delayMs;
    m_iRetryIntervalMs = intervalMs;
  }

  // <dir>/<YYYYmmddHHMMSS>.mp4, or ..._<suffix>.mp4 for suffix > 0. A trailing
  // '/' on |dir| is not doubled.
  static std::string ComposeFileName(const std::string& dir, const std::tm& localTime,
                                     int suffix);

 private:
  // The writer's place in the stream: the next packet of each kind, the
  // timestamps taken so far and the current file's time zero.
  struct WriterState {
    VrMediaFramePtr video;
    VrMediaFramePtr audio;
    int64_t tv = 0;  // timestamp of the last video packet taken
    int64_t ta = 0;  // timestamp of the last audio packet taken
    bool tookVideo = false;
    bool tookAudio = false;
    int64_t firstVideo = 0;
    int64_t firstAudio = 0;
    bool haveOrigin = false;
    int64_t origin = 0;       // the current file's time zero
    int64_t lastWritten = 0;  // timestamp of the last packet written
  };

  void WriterMain();
  void RecordLoop(WriterState* state);
  // A file failed: drop what is held and queued, refuse packets until a new
  // file opens, log the episode once and schedule the retry.
  void BeginOutage(WriterState* state, const std::string& reason);
  // Opens a new file when the retry is due; true when writing goes on.
  bool RetryIfDue(WriterState* state);
  // Opens the next file in the record directory; on failure |reason| says why.
  int OpenNextFile(std::string* reason);
  // Fills the empty slots of |state| from the queues.
  void TakeQueued(WriterState* state);
  // Fixes the first file's time zero once a video packet is held; false
  // while there is none.
  bool FixOrigin(WriterState* state);
  enum class NextPacket { kNone, kAudio, kVideo };
  // The held packet that comes next in timestamp order; kNone when nothing
  // can be written yet.
  static NextPacket ChooseNext(const WriterState& state, bool stopping);
  // Closes the file and opens the next one when the split rule says so, and
  // moves the time zero. Asked only with the next packet in hand, so that
  // the new file's zero is that packet's time. -1 when a file failed
  // (|reason| says why).
  int SplitIfDue(WriterState* state, std::string* reason);
  // 0, or -1 when the file failed (|reason| says why); a packet the muxer
  // refuses is dropped and logged without failing the file.
  int WriteHeld(WriterState* state, NextPacket which, std::string* reason);
  // The next file's full path: a name that does not exist yet in the record
  // directory. Empty on failure (|reason| says why).
  std::string BuildFileName(std::string* reason);
  int CreateOutput(const std::string& path, std::string* reason);
  void AddAudioStream(AVFormatContext* ctx);
  void AddVideoStream(AVFormatContext* ctx);
  int OpenOutput(const std::string& path, std::string* reason);
  // Writes the trailer (the fragment index players seek with) and closes the
  // file; -1 when that failed (|reason| says why).
  int CloseOutput(std::string* reason);
  void CloseOutputWithoutTrailer();
  bool IsMjpeg() const;
  enum class WriteResult { kWritten, kRefused, kFileFailed };
  // Writes one packet stamped |timestampMs| into |stream| and makes a
  // fragment the muxer completed durable.
  WriteResult WritePacket(const VrMediaFramePtr& packet, int64_t timestampMs, int64_t originMs,
                          AVStream* stream);

  const VrRecordParams m_stParams;

  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bStarted{false};
  // Written by the writer (and by PushPacket when the thread cannot start).
  std::atomic<bool> m_bAccepting{false};
  // Set by the writer when a new file opens after a failure; PushPacket
  // drops packets until the next video key frame and clears it.
  std::atomic<bool> m_bResync{false};
  std::vector<uint8_t> m_parameterSets;  // written before the writer starts
  HX_Mutex m_threadMutex;
  std::thread m_writerThread HX_GUARDED_BY(m_threadMutex);

  HX_WakeSignal m_wakeWriter;  // a push or the stop request
  VrMediaFrameQueue m_videoQueue{HX_DropPolicy::kDropOldest, kMaxVideoQueue + 1,
                                 VrMediaFrameQueue::kNoByteLimit, &m_wakeWriter};
  VrMediaFrameQueue m_audioQueue{HX_DropPolicy::kFlush, kMaxAudioQueue + 1,
                                 VrMediaFrameQueue::kNoByteLimit, &m_wakeWriter};

  // Writer thread only.
  VrDurableFile m_file;  // declared before m_pOutput: outlives the muxer using it
  VrOutputContextPtr m_pOutput;
  AVStream* m_pAudioStream = nullptr;
  AVStream* m_pVideoStream = nullptr;
  VrBsfContextPtr m_pAudioFilter;
  VrAVPacketPtr m_pPacket;
  VrPtsGuard m_videoPts;  // per file
  std::atomic<uint64_t> m_ullLateVideo{0};
  std::string m_strFilePath;
  int64_t m_llBytesWritten = 0;
  int32_t m_iSplitType = 0;
  int64_t m_llSplitSize = 0;
  int64_t m_llSplitTime = 0;
  int m_iRetryDelayMs = kRetryDelayMs;
  int m_iRetryIntervalMs = kRetryIntervalMs;
  bool m_bInOutage = false;
  int m_iRetryAttempt = 0;
  std::chrono::steady_clock::time_point m_nextRetry;
  std::chrono::steady_clock::time_point m_lastAttempt;
  bool m_bAttempted = false;

  mutable HX_Mutex m_fileNameMutex;
  std::string m_strCurrentFile HX_GUARDED_BY(m_fileNameMutex);
};
