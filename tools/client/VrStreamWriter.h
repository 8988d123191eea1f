#pragma once
// Writes the received packets into MPEG-TS or Matroska through libavformat:
// H.264/MJPEG video and AAC audio (ADTS or raw), timestamps in milliseconds
// from the first key frame. The header is written at the first video key
// frame, so every file starts with a decodable picture. One thread only.
#include <cstdint>
#include <memory>
#include <string>

#include "media/VrAVHandle.h"

class VrStreamWriter {
 public:
  struct CodecInfo {
    uint32_t videoCodec;  // wire numbers (28 H.264, 8 MJPEG)
    uint32_t audioCodec;
    uint32_t audioSampleRate;
    uint32_t audioChannels;
  };

  VrStreamWriter() = default;
  ~VrStreamWriter();
  VrStreamWriter(const VrStreamWriter&) = delete;
  VrStreamWriter& operator=(const VrStreamWriter&) = delete;

  // |container| "ts" or "mkv"; |path| a file or "-" for standard output.
  // 0, or -1 with the reason in |error| (nothing is opened yet).
  int open(const std::string& path, const std::string& container, const CodecInfo& info, std::string* error);
  // One packet of the stream (media type 0 video, 1 audio). Packets before the
  // first video key frame are skipped. 0, or -1 with |error| set.
  int write(int mediaType, bool keyFrame, int width, int height, uint64_t frameTimeMs, const std::string& body,
            std::string* error);
  // Writes the trailer and closes the output. 0, or -1.
  int close(std::string* error);

  bool started() const { return m_bHeaderWritten; }
  int64_t droppedLateAudio() const { return m_llLateAudio; }

  // Maps the protocol's codec numbers to the linked FFmpeg's ids.
  static AVCodecID VideoCodecFromWire(uint32_t wire);
  // True when |data| holds an H.264 key picture (an IDR slice).
  static bool IsH264KeyFrame(const std::string& data);

 private:
  int start(int width, int height, const std::string& firstPicture, std::string* error);
  int writePacket(AVStream* stream, int64_t* lastPts, int64_t pts, const uint8_t* data, size_t size,
                  bool key, std::string* error);

  VrOutputContextPtr m_pFormat;
  VrAVPacketPtr m_pPacket;
  std::string m_strPath;
  std::string m_strContainer;
  CodecInfo m_stInfo{};
  AVStream* m_pVideo = nullptr;
  AVStream* m_pAudio = nullptr;
  bool m_bHeaderWritten = false;
  bool m_bClosed = false;
  uint64_t m_ullBaseTime = 0;
  int64_t m_llLastVideoPts = -1;
  int64_t m_llLastAudioPts = -1;
  int64_t m_llLateAudio = 0;
};
