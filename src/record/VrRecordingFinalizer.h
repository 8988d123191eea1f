#pragma once
// Turns a recording into a plain MP4 with its index at the front: the usable
// part of the file (everything up to its last complete fragment) is found by
// walking the top-level boxes, stream-copied by libavformat into a temporary
// file beside it, made durable and renamed over the original. A file cut off
// by a power loss in the middle of a fragment, which FFmpeg's demuxer refuses
// whole, plays again afterwards; editors that want a non-fragmented file get
// one. Any thread; blocking file I/O; calls on different files may run at the
// same time.
#include <cstdint>
#include <string>

// The top-level layout of a recording, as far as it is usable.
struct VrRecordingLayout {
  int64_t m_llFileSize = 0;
  // Where the usable prefix ends: after the last complete moof+mdat pair (or
  // a complete index/sample box after it); what follows is cut off or garbage.
  int64_t m_llUsableSize = 0;
  int32_t m_iFragments = 0;  // complete moof+mdat pairs in the prefix
  bool m_bHasMoov = false;
  bool m_bHasPlainMdat = false;  // samples indexed by moov itself (a plain MP4)
  // True when the prefix holds anything a player can show.
  bool playable() const { return m_bHasMoov && (m_iFragments > 0 || m_bHasPlainMdat); }
};

// What VrFinalizeRecording did, for the line it reports.
struct VrFinalizeReport {
  VrRecordingLayout m_stLayout;
  int64_t m_llPackets = 0;
  double m_dSeconds = 0;  // from the earliest packet start to the latest end
  // Why it failed ("not an MP4 recording"), empty on success.
  std::string m_strReason;
};

class VrRecordingFinalizer {
 public:
  static constexpr int kCannotRead = -1;       // missing, unreadable, not a regular file
  static constexpr int kNotMp4 = -2;           // no ftyp box first, or FFmpeg cannot read it
  static constexpr int kNothingPlayable = -3;  // an MP4 without one complete fragment
  static constexpr int kWriteFailed = -4;      // the temporary file or the rename failed
  static constexpr int kInUse = -5;            // open for writing (a recording in progress)

  // Walks the top-level boxes of the file open on |fd| (|fileSize| bytes)
  // with bounds-checked reads. 0, kCannotRead (a read failed, |reason| set)
  // or kNotMp4 (the first box is not ftyp, |reason| set).
  static int Scan(int fd, int64_t fileSize, VrRecordingLayout* layout, std::string* reason);

  // Rewrites |path| as a plain MP4 of its usable prefix: all streams, packets
  // and timestamps unchanged, `faststart`. 0, or a negative code above with
  // report->m_strReason set; on failure |path| is untouched and no temporary
  // file is left. Through a symbolic link, the file it names is rewritten.
  // Writes no log line: the caller reports the one line.
  static int Finalize(const std::string& path, VrFinalizeReport* report);
};
