#pragma once
// Writes a run's encoded H.264 and AAC packets into MP4 files named after the
// local time in the record directory, splitting by time or size as configured.
// Owns two bounded packet queues and the writer thread, which owns the open
// file. PushPacket runs on the thread that delivers encoded packets; stop and
// destruction on the owner's thread once no more packets are delivered.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/VrMediaFrame.h"
#include "media/VrAVHandle.h"
#include "record/VrRecordParams.h"

class VrRecordFilter {
 public:
  // The video queue keeps at most kMaxVideoQueue + 1 packets (the oldest goes);
  // the audio queue is emptied when it holds more than kMaxAudioQueue.
  static constexpr size_t kMaxVideoQueue = 10;
  static constexpr size_t kMaxAudioQueue = 100;
  static constexpr int kIdleSleepMs = 5;

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
  // True while the writer thread runs (false again after a failed file).
  bool IsWriting() const { return m_bWriting; }

  // The SPS and PPS units (start codes included, stream order) of an Annex B
  // access unit; empty when it has none.
  static std::vector<uint8_t> SplitParameterSets(const uint8_t* data, size_t size);
  // <dir>/<YYYYmmddHHMMSS>.mp4, or ..._<suffix>.mp4 for suffix > 0. A trailing
  // '/' on |dir| is not doubled.
  static std::string ComposeFileName(const std::string& dir, const std::tm& localTime,
                                     int suffix);

 private:
  void WriterMain();
  void RecordLoop();
  // The next file's full path: a name that does not exist yet in the record
  // directory, which is created when missing. Empty on failure (logged).
  std::string BuildFileName();
  int CreateOutput(const std::string& path);
  void AddAudioStream(AVFormatContext* ctx);
  void AddVideoStream(AVFormatContext* ctx);
  int OpenOutput(const std::string& path);
  void CloseOutput();
  void CloseOutputWithoutTrailer();
  // Writes one packet stamped |timestampMs| into |stream|; true when written.
  bool WritePacket(const VrMediaFramePtr& packet, int64_t timestampMs, int64_t originMs,
                   AVStream* stream);

  const VrRecordParams m_stParams;

  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bStarted{false};
  std::atomic<bool> m_bWriting{false};
  std::vector<uint8_t> m_parameterSets;  // written before the writer starts
  std::mutex m_threadMutex;              // guards m_writerThread
  std::thread m_writerThread;

  mutable std::mutex m_videoMutex;  // guards m_videoQueue only
  std::deque<VrMediaFramePtr> m_videoQueue;
  mutable std::mutex m_audioMutex;  // guards m_audioQueue only
  std::deque<VrMediaFramePtr> m_audioQueue;

  // Writer thread only.
  VrOutputContextPtr m_pOutput;
  AVStream* m_pAudioStream = nullptr;
  AVStream* m_pVideoStream = nullptr;
  VrBsfContextPtr m_pAudioFilter;
  VrAVPacketPtr m_pPacket;
  std::string m_strFilePath;
  int64_t m_llBytesWritten = 0;

  mutable std::mutex m_fileNameMutex;  // guards m_strCurrentFile only
  std::string m_strCurrentFile;
};
