#pragma once
// Loopback capture from PulseAudio: the default sink's monitor source, read
// through a record stream in packets of about 10 ms. Owns its threaded main
// loop, context and stream. Open and close from one thread; read packets from
// one capture thread while it runs.
#include <pulse/channelmap.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>

#include <string>
#include <vector>

#include "platform/pulse/HX_ILoopbackDevice.h"
#include "platform/pulse/HX_PulseHandle.h"

class HX_PulseLoopback : public HX_ILoopbackDevice {
 public:
  // The record stream's fragment: one packet of this many milliseconds.
  static constexpr int kPacketMs = 10;
  // How long the reader may be held up (a busy machine) before the sound
  // server has to drop what was captured meanwhile; only a backlog fills it.
  static constexpr int kHeldUpMs = 2000;

  HX_PulseLoopback();
  ~HX_PulseLoopback() override;
  HX_PulseLoopback(const HX_PulseLoopback&) = delete;
  HX_PulseLoopback& operator=(const HX_PulseLoopback&) = delete;

  int connect() override;
  int findDefaultOutput() override;
  int openOutput() override;
  int getDevicePeriod(int64_t* period100ns) override;
  int getMixFormat(HX_LoopbackFormat* format) override;
  int initialize(int64_t bufferDuration100ns, const HX_LoopbackFormat& format) override;
  int openCaptureSide() override;
  int startStream() override;
  int nextPacketFrames(uint32_t* frames) override;
  int getBuffer(const uint8_t** data, uint32_t* frames) override;
  int releaseBuffer(uint32_t frames) override;
  void close() override;
  std::string errorText(int error) const override;

  // Describes a sink's sample format and channel map as a mix format. Float
  // samples are reported as an extensible format with a channel mask, plain
  // little-endian integers as PCM; formats with no such equivalent carry a tag
  // the capture logic refuses. Returns 0 or -PA_ERR_INVALID for an invalid
  // sample format or map.
  static int FormatFromSpec(const pa_sample_spec& sampleSpec, const pa_channel_map& map,
                            HX_LoopbackFormat* format);
  // The speaker mask of a channel map; 0 when a position has no speaker bit or
  // appears twice.
  static uint32_t ChannelMaskFromMap(const pa_channel_map& map);

  const std::string& sinkName() const { return m_strSinkName; }
  const std::string& monitorName() const { return m_strMonitorName; }

 private:
  static void OnContextState(pa_context* context, void* user);
  static void OnStreamState(pa_stream* stream, void* user);
  static void OnServerInfo(pa_context* context, const pa_server_info* info, void* user);
  static void OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* user);
  static void OnSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* user);
  static void OnOperationState(pa_operation* operation, void* user);
  static void OnSuccess(pa_stream* stream, int success, void* user);

  // With the loop locked: waits for |operation| to end; the owner releases it.
  // Returns 0, or the context's error when the operation could not run.
  int WaitOperation(HX_PulseOperationPtr operation);
  // The context's last error as a negative number (never 0).
  int ContextError() const;

  HX_PulseLoopPtr m_pLoop;
  bool m_bLoopRunning = false;
  HX_PulseContextPtr m_pContext;
  HX_PulseStreamPtr m_pStream;

  // Written by the main loop's callbacks while the opening thread waits.
  std::string m_strSinkName;
  std::string m_strMonitorName;
  pa_sample_spec m_stSinkSpec{};
  pa_channel_map m_stSinkMap{};
  bool m_bLookupFound = false;
  int m_iLookupError = 0;
  bool m_bOperationSucceeded = false;

  // Capture thread only: the bytes of the packet being handed out.
  std::vector<uint8_t> m_vPacket;
  uint32_t m_uiFrameBytes = 0;
};
