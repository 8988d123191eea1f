#pragma once
// One recording file written through a libavformat I/O context of our own, so
// that the writer sees when the muxer has put bytes into the file and can make
// them durable. A fragmented MP4 muxer touches the file only when it writes a
// whole fragment (samples wait in its own buffers until then), so "the file
// grew" means "a fragment is complete": commit() then hands the bytes to the
// kernel and waits for fdatasync. Writer thread only.
#include <cstdint>
#include <string>

#include "core/HX_Handle.h"
#include "media/VrAVHandle.h"

class VrDurableFile {
 public:
  static constexpr int kCreateFailed = -1;
  static constexpr int kNoMemory = -2;
  static constexpr int kWriteFailed = -3;
  static constexpr int kSyncFailed = -4;

  VrDurableFile() = default;
  ~VrDurableFile() { close(); }
  VrDurableFile(const VrDurableFile&) = delete;
  VrDurableFile& operator=(const VrDurableFile&) = delete;

  // Creates |path|, which must not exist yet, and syncs its directory so that
  // the name survives a power loss. 0, or a negative code with error() set;
  // isOpen() then says whether the file was created (the caller removes it).
  int open(const std::string& path);
  // The I/O context to put into AVFormatContext::pb (with
  // AVFMT_FLAG_CUSTOM_IO); null when no file is open.
  AVIOContext* io() const { return m_pIo.get(); }
  bool isOpen() const { return m_fd.valid(); }

  // When the file grew since the last commit: flushes the context and waits
  // until the data is on the device. 0 (also when there was nothing new), or
  // kWriteFailed / kSyncFailed with error() set. After a failure every later
  // commit fails the same way.
  int commit();
  // commit(), then releases the context and closes the file. Idempotent;
  // returns the commit's result.
  int close();

  // Why the last operation failed ("No space left on device"), empty when
  // nothing failed.
  const std::string& error() const { return m_strError; }

 private:
  static int WriteCallback(void* opaque, uint8_t* data, int size);
  static int64_t SeekCallback(void* opaque, int64_t offset, int whence);
  int Fail(int code, int err);

  HX_UniqueFd m_fd;
  VrIOContextPtr m_pIo;
  int64_t m_llCommitted = 0;  // file position made durable so far
  int m_iFailure = 0;         // the first failure's code, kept
  std::string m_strError;
};
