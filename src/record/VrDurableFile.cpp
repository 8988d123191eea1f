#include "record/VrDurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

namespace {
// Large enough that a header and most audio-only fragments go out in one write.
constexpr int kIoBufferSize = 64 * 1024;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

int VrDurableFile::Fail(int code, int err) {
  if (m_iFailure == 0) {
    m_iFailure = code;
    m_strError = std::strerror(err);
  }
  return m_iFailure;
}

int VrDurableFile::open(const std::string& path) {
  close();
  m_iFailure = 0;
  m_strError.clear();
  m_llCommitted = 0;
  // O_EXCL: a name taken since the caller chose it is never overwritten.
  m_fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!m_fd) return Fail(kCreateFailed, errno);
  HX_UniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir && ::fsync(dir.get()) != 0) return Fail(kSyncFailed, errno);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return Fail(kNoMemory, ENOMEM);
  m_pIo.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &WriteCallback,
                                 &SeekCallback));
  if (!m_pIo) {
    av_free(buffer);
    return Fail(kNoMemory, ENOMEM);
  }
  return 0;
}

int VrDurableFile::WriteCallback(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<VrDurableFile*>(opaque);
  if (self->m_iFailure != 0) return AVERROR(EIO);
  int done = 0;
  while (done < size) {
    const ssize_t n = ::write(self->m_fd.get(), data + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      self->Fail(kWriteFailed, err);
      return AVERROR(err);
    }
    done += static_cast<int>(n);
  }
  return size;
}

int64_t VrDurableFile::SeekCallback(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<VrDurableFile*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(self->m_fd.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
  }
  const off_t at = ::lseek(self->m_fd.get(), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

int VrDurableFile::commit() {
  if (!m_pIo) return 0;
  if (m_iFailure != 0) return m_iFailure;
  const int64_t position = avio_tell(m_pIo.get());
  if (position == m_llCommitted) return 0;
  avio_flush(m_pIo.get());
  if (m_iFailure != 0) return m_iFailure;
  if (m_pIo->error < 0) return Fail(kWriteFailed, AVUNERROR(m_pIo->error));
  if (::fdatasync(m_fd.get()) != 0) return Fail(kSyncFailed, errno);
  m_llCommitted = position;
  return 0;
}

int VrDurableFile::close() {
  const int result = m_pIo ? commit() : m_iFailure;
  m_pIo.reset();
  m_fd.reset();
  return result;
}
