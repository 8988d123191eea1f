#include "record/VrRecordingFinalizer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/HX_Handle.h"
#include "media/VrAVHandle.h"

namespace {
constexpr int64_t kBoxHeader = 8;
constexpr int64_t kLargeBoxHeader = 16;
// The first four bytes of a Matroska (EBML) file.
constexpr uint64_t kEbmlMagic = 0x1A45DFA3;

uint64_t BigEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// Reads exactly |size| bytes at |offset|; false on a short read or an error
// (errno is 0 for a short read).
bool ReadAt(int fd, int64_t offset, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset) + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Box types are four printable characters at the top level of every MP4 we
// or FFmpeg write; anything else is the start of garbage.
bool PrintableType(const uint8_t* type) {
  return std::all_of(type, type + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7f; });
}

bool IsType(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file beside the recording (a name of its own, so that a
// recording whose name is near the length limit still gets one): created
// exclusively, removed when the object goes unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& directory)
      : m_name(directory + "/.ostrel-finalize-XXXXXX") {
    std::vector<char> name(m_name.begin(), m_name.end());
    name.push_back('\0');
    m_fd.reset(::mkstemp(name.data()));
    if (m_fd) m_name = name.data();
  }
  ~TemporaryFile() {
    if (m_fd && !m_bRenamed) ::unlink(m_name.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool created() const { return m_fd.valid(); }
  int fd() const { return m_fd.get(); }
  const std::string& name() const { return m_name; }
  void renamed() { m_bRenamed = true; }

 private:
  std::string m_name;
  HX_UniqueFd m_fd;
  bool m_bRenamed = false;
};

int Fail(VrFinalizeReport* report, int code, const std::string& reason) {
  report->m_strReason = reason;
  return code;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// Stream-copies the first |size| bytes of |path| into |outputPath| as a plain
// MP4 with the index in front. 0 or a negative code with the reason set.
int Remux(const std::string& path, int64_t size, const std::string& outputPath,
          VrFinalizeReport* report) {
  // The subfile protocol shows the demuxer only the usable prefix, so it
  // never meets the cut-off fragment it would refuse the whole file for.
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "start", 0, 0);
  av_dict_set_int(&options, "end", size, 0);
  AVFormatContext* raw = nullptr;
  int ret = avformat_open_input(&raw, ("subfile:file:" + path).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (ret < 0) {
    return Fail(report, VrRecordingFinalizer::kNotMp4, "FFmpeg cannot read it: " + VrAVErrorText(ret));
  }
  VrInputContextPtr input(raw);
  // The index leaves out what the muxer needs for an exact edit list (the
  // AAC frame size); without it the last audio packet falls outside the
  // track's edit and players drop it.
  ret = avformat_find_stream_info(input.get(), nullptr);
  if (ret < 0) {
    return Fail(report, VrRecordingFinalizer::kNotMp4, "FFmpeg cannot read it: " + VrAVErrorText(ret));
  }

  raw = nullptr;
  ret = avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
  if (ret < 0 || raw == nullptr) {
    return Fail(report, VrRecordingFinalizer::kWriteFailed, "no MP4 muxer: " + VrAVErrorText(ret));
  }
  VrOutputContextPtr output(raw);
  std::vector<int> outIndex(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* in = input->streams[i];
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (out == nullptr || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) {
      return Fail(report, VrRecordingFinalizer::kWriteFailed, "out of memory");
    }
    out->codecpar->codec_tag = 0;
    out->time_base = in->time_base;
    out->disposition = in->disposition;
    av_dict_copy(&out->metadata, in->metadata, 0);
    outIndex[i] = out->index;
  }
  // The muxer reopens the file by name to move the index to the front.
  const std::string url = "file:" + outputPath;
  output->url = av_strdup(url.c_str());
  ret = avio_open(&output->pb, url.c_str(), AVIO_FLAG_WRITE);
  if (ret < 0) {
    return Fail(report, VrRecordingFinalizer::kWriteFailed, "cannot write " + outputPath + ": " + VrAVErrorText(ret));
  }
  av_dict_set(&options, "movflags", "faststart", 0);
  ret = avformat_write_header(output.get(), &options);
  av_dict_free(&options);
  if (ret < 0) {
    return Fail(report, VrRecordingFinalizer::kWriteFailed, "cannot write the header: " + VrAVErrorText(ret));
  }

  VrAVPacketPtr packet(av_packet_alloc());
  if (!packet) return Fail(report, VrRecordingFinalizer::kWriteFailed, "out of memory");
  double first = INFINITY, last = -INFINITY;
  for (;;) {
    ret = av_read_frame(input.get(), packet.get());
    if (ret == AVERROR_EOF) break;
    if (ret < 0) {
      return Fail(report, VrRecordingFinalizer::kCannotRead, "reading the recording failed: " + VrAVErrorText(ret));
    }
    const AVStream* in = input->streams[packet->stream_index];
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE) {
      first = std::min(first, start * av_q2d(in->time_base));
      last = std::max(last, (start + packet->duration) * av_q2d(in->time_base));
    }
    AVStream* out = output->streams[outIndex[packet->stream_index]];
    av_packet_rescale_ts(packet.get(), in->time_base, out->time_base);
    packet->stream_index = out->index;
    packet->pos = -1;
    ret = av_interleaved_write_frame(output.get(), packet.get());
    if (ret < 0) {
      return Fail(report, VrRecordingFinalizer::kWriteFailed, "writing a packet failed: " + VrAVErrorText(ret));
    }
    ++report->m_llPackets;
  }
  if (report->m_llPackets == 0) {
    return Fail(report, VrRecordingFinalizer::kNothingPlayable, "no packet in its complete fragments");
  }
  ret = av_write_trailer(output.get());
  if (ret >= 0) ret = avio_closep(&output->pb);
  if (ret < 0) {
    return Fail(report, VrRecordingFinalizer::kWriteFailed, "cannot finish " + outputPath + ": " + VrAVErrorText(ret));
  }
  report->m_dSeconds = last > first ? last - first : 0;
  return 0;
}
}  // namespace

int VrRecordingFinalizer::Scan(int fd, int64_t fileSize, VrRecordingLayout* layout, std::string* reason) {
  *layout = VrRecordingLayout{};
  layout->m_llFileSize = fileSize;
  if (fileSize < kBoxHeader) {
    *reason = "not an MP4 recording";
    return kNotMp4;
  }
  bool pendingMoof = false;  // a complete moof whose mdat has not been seen
  for (int64_t at = 0; fileSize - at >= kBoxHeader;) {
    uint8_t header[kLargeBoxHeader];
    const bool large = fileSize - at >= kLargeBoxHeader;
    if (!ReadAt(fd, at, header, large ? kLargeBoxHeader : kBoxHeader)) {
      *reason = "cannot read it: " + ErrnoText(errno != 0 ? errno : EIO);
      return kCannotRead;
    }
    const uint8_t* type = header + 4;
    uint64_t size = BigEndian(header, 4);
    int64_t headerSize = kBoxHeader;
    if (size == 1) {
      if (!large) break;  // the 64-bit size itself is cut off
      size = BigEndian(header + 8, 8);
      headerSize = kLargeBoxHeader;
    } else if (size == 0) {
      size = static_cast<uint64_t>(fileSize - at);  // the box runs to the end of the file
    }
    const bool wellFormed = PrintableType(type) && size >= static_cast<uint64_t>(headerSize);
    if (at == 0 && !(wellFormed && IsType(type, "ftyp"))) {
      *reason = BigEndian(header, 4) == kEbmlMagic
                    ? "a Matroska file, not an MP4 recording (it plays as it is)"
                    : "not an MP4 recording";
      return kNotMp4;
    }
    if (!wellFormed || size > static_cast<uint64_t>(fileSize - at)) break;
    const int64_t end = at + static_cast<int64_t>(size);
    if (IsType(type, "mdat")) {
      if (pendingMoof) ++layout->m_iFragments;
      else layout->m_bHasPlainMdat = true;
      pendingMoof = false;
    } else if (IsType(type, "moof")) {
      if (pendingMoof) break;  // the previous moof lost its samples
      pendingMoof = true;
    } else {
      if (pendingMoof) break;
      layout->m_bHasMoov = layout->m_bHasMoov || IsType(type, "moov");
    }
    if (!pendingMoof) layout->m_llUsableSize = end;
    at = end;
  }
  return 0;
}

int VrRecordingFinalizer::Finalize(const std::string& path, VrFinalizeReport* report) {
  *report = VrFinalizeReport{};
  // Through a symbolic link, the file it names is replaced, not the link.
  HX_MallocPtr<char> real(::realpath(path.c_str(), nullptr));
  if (!real) return Fail(report, kCannotRead, "cannot open it: " + ErrnoText(errno));
  const std::string file = real.get();
  HX_UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return Fail(report, kCannotRead, "cannot open it: " + ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) return Fail(report, kCannotRead, "not a regular file");
  // A read lease is refused while anyone has the file open for writing:
  // replacing a file the recorder still writes would send the rest of that
  // recording into a file without a name. Released at once, so nothing is
  // ever notified.
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EBUSY) {
    return Fail(report, kInUse, "it is being written (a recording in progress?)");
  }
  if (st.st_size == 0) return Fail(report, kNothingPlayable, "the file is empty");
  int ret = Scan(fd.get(), st.st_size, &report->m_stLayout, &report->m_strReason);
  if (ret < 0) return ret;
  if (!report->m_stLayout.playable()) {
    return Fail(report, kNothingPlayable, "no complete fragment: nothing in it plays");
  }

  TemporaryFile temporary(DirectoryOf(file));
  if (!temporary.created()) {
    return Fail(report, kWriteFailed, "cannot create a file in " + DirectoryOf(file) + ": " + ErrnoText(errno));
  }
  ret = Remux(file, report->m_stLayout.m_llUsableSize, temporary.name(), report);
  if (ret < 0) return ret;
  if (::fchmod(temporary.fd(), st.st_mode & 07777) != 0 || ::fsync(temporary.fd()) != 0) {
    return Fail(report, kWriteFailed, "cannot write " + temporary.name() + ": " + ErrnoText(errno));
  }
  if (::rename(temporary.name().c_str(), file.c_str()) != 0) {
    return Fail(report, kWriteFailed, "cannot replace it: " + ErrnoText(errno));
  }
  temporary.renamed();
  // The new name survives a power loss only once the directory is on disk.
  HX_UniqueFd dir(::open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return 0;
}
