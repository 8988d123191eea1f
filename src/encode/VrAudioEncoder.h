#pragma once
// The AAC encoder: a FIFO of raw PCM blocks (interleaved signed 16-bit, 1 or 2
// channels) filled by the feeding thread, one worker thread that encodes block
// by block and delivers each ADTS-framed packet through the callback. The FIFO
// is emptied when more than 100 blocks wait, so sound skips ahead instead of
// building latency. Input and FirstTimestamp are safe from any thread; Init,
// Start and Stop belong to the owner's thread.
#include <atomic>
#include <thread>

#include "core/VrMediaFrameQueue.h"
#include "encode/VrAdts.h"
#include "encode/VrEncoder.h"
#include "media/VrAVHandle.h"

class VrAudioEncoder : public VrEncoder {
 public:
  // More waiting blocks than this are discarded at the next Input.
  static constexpr size_t kMaxQueuedBlocks = 100;

  VrAudioEncoder() = default;
  ~VrAudioEncoder() override;

  int Start() override;
  // Joins the worker and empties the FIFO; the codec stays open.
  void Stop() override;
  // Queues a block of media type 1; anything else is ignored (-1).
  int Input(VrMediaFramePtr frame) override;
  void Encode() override;
  bool IsRunning() const override { return m_bRunning.load(); }
  // Reads codec id (field 1), bit rate (field 5) and sample rate (field 6).
  // 0 on success, -1 no encoder for the codec id, -3 no codec context,
  // -2 the codec does not open (or its packets cannot be ADTS-framed).
  int Init(VrEncodeParams params) override;

  // Timestamp of the first block with data the worker took; 0 while none.
  uint64_t FirstTimestamp() const { return m_ullFirstTimestamp.load(); }
  size_t QueuedBlocks() const;
  // The opened codec context (null before a successful Init).
  const AVCodecContext* CodecContext() const { return m_bOpen ? m_pCodecCtx.get() : nullptr; }

 private:
  // Longest wait of the worker on an empty FIFO (a block ends it at once);
  // bounds how long Stop waits for the worker.
  static constexpr int kIdleWaitMs = 3;

  // Both return how many packets were lost to failed allocations.
  int EncodeBlock(const VrMediaFrame& block);
  bool ConfigureResampler(int inputChannels);
  int ReceivePackets(const VrMediaFrame& block);

  VrCodecContextPtr m_pCodecCtx;
  const AVCodec* m_pCodec = nullptr;
  int32_t m_iCodecFrameBytes = 0;  // one codec frame at the opened format
  std::atomic<bool> m_bRunning{false};
  std::thread m_thWorker;
  int32_t m_iCodecId = 0;
  std::atomic<uint64_t> m_ullFirstTimestamp{0};
  VrMediaFrameQueue m_lstInput{HX_DropPolicy::kFlush, kMaxQueuedBlocks + 1};

  bool m_bOpen = false;
  bool m_bAddAdts = false;
  VrAacConfig m_stAacConfig;
  int32_t m_iFrameSamples = 0;  // samples per channel in one codec frame
  VrSwrContextPtr m_pSwr;
  int32_t m_iSwrInputChannels = 0;
  VrAVFramePtr m_pCodecFrame;
  VrAVPacketPtr m_pPacket;
  uint32_t m_uiRejectedBlocks = 0;
  uint32_t m_uiEncodeErrors = 0;
};
