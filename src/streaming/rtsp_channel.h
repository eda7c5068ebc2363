// Video channels that receive a camera stream through an RTSP session with RTP over UDP.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>

#include "streaming/base_camera_channel.h"
#include "streaming/encoder_configuration.h"
#include "streaming/rtcp_responder.h"
#include "streaming/rtp_packet.h"
#include "streaming/rtp_receiver.h"
#include "streaming/rtp_source_filter.h"
#include "streaming/rtsp_client.h"
#include "streaming/time_stamp_converter.h"

namespace Web {
class CHttpClient;
}

namespace kalmora {

// What the channel thread does after one signal check.
enum class SignalAction {
  kNone,
  kArm,           // frames flow again: the next silence may restart the session quietly
  kQuietRestart,  // three fifths of the time-out without frames: re-open without an offline report
  kReportLoss,    // the full time-out: no-signal notice, state 2, camera offline
};

// The signal check of an RTSP channel for `elapsed_ms` without frames, a signal-loss time-out
// of `timeout_ms`, the channel state and the armed flag (updated).
SignalAction CheckSignal(std::uint32_t elapsed_ms, std::uint32_t timeout_ms, std::int32_t state, bool& armed);

// Whether a keep-alive is due `elapsed` (100-ns units) after the last one, for a session
// time-out: past half of it. Compared at full resolution: the channel thread looks once a second,
// and a due time of exactly 3000 ms truncated to whole milliseconds would wait a pass longer.
constexpr bool KeepAliveDue(std::uint64_t elapsed, std::uint32_t session_timeout_ms) {
  return elapsed > static_cast<std::uint64_t>(session_timeout_ms / 2) * 10000u;
}

// The channel thread opens the session (encoder configuration over HTTP, a UDP port pair from
// 3556, the RTCP responder, DESCRIBE, SETUP, PLAY), keeps it alive with OPTIONS every half
// session time-out, watches the time since the last frame and re-opens the session when frames
// stop. The RTP side (OnRTPPacket, on the UDP receive thread) assembles frames and delivers them.
//
// Threads: the channel thread owns the session objects; the receive thread runs only between the
// port's open and close, both on the channel thread, and touches only the assembly state, which
// the channel thread resets only while no receiver exists. Stop (control thread) aborts the
// HTTP exchange or RTSP reply the channel thread may be waiting for, under abort_lock_.
class CBaseRTSPChannel : public CBaseCameraChannel, public IRTPReceiverUser {
 public:
  static constexpr std::uint16_t kFirstRtpPort = 3556;
  static constexpr std::uint16_t kLastRtpPort = 4555;
  static constexpr std::uint32_t kLoopWaitMs = 1000;

  CBaseRTSPChannel(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CBaseRTSPChannel() override;

  // IRTPReceiverUser
  void OnReceiveTimeout() override {}
  void OnPortClosed(CRTPReceiver* receiver) override;

  std::uint16_t rtp_port() const { return rtp_port_.load(); }

 protected:
  std::uint32_t ThreadBody() override;
  void AbortBlockingWork() override;

  virtual CBaseRTSPClient* CreateRTSPClient() = 0;
  virtual bool ConfigureEncoder() = 0;
  virtual bool OpenSession();
  virtual void CloseSession();
  virtual void SendKeepAlive();
  // Back to nothing assembled, as at the start of a session. The channel thread calls it only
  // while no receiver exists.
  virtual void ResetAssembly();

  // The sequence check of the common assembly rules, for a packet of the stream's source.
  RtpSequenceResult CheckSequence(std::uint32_t ssrc, std::uint16_t sequence_number) {
    return sequence_.Check(ssrc, sequence_number);
  }
  // Whether RTP packets are taken: the session is streaming, or PLAY has been sent.
  bool TakingMedia() const { return GetState() == ipcapture::kChannelStreaming || play_sent_.load(); }

  // Blocking work the control thread may abort: registered for its duration, false (and nothing
  // registered) when the stop has already been asked for.
  bool RegisterAbortable(Web::CHttpClient* http);
  bool RegisterAbortable(CBaseRTSPClient* rtsp);
  void UnregisterAbortable();

 private:
  void RunKeepAliveCheck();
  void RunSignalCheck(bool& armed);
  bool FindPortPair();

  // The stream's source, shared by the receiver (which filters by it) and the RTCP responder
  // (which answers only it). Declared before both, so it is destroyed after them.
  CRtpSourceFilter source_filter_;
  std::unique_ptr<CBaseRTSPClient> client_;
  std::unique_ptr<CRTPReceiver> receiver_;
  std::unique_ptr<CRTCPResponder> responder_;
  std::atomic<std::uint16_t> rtp_port_{0};
  std::uint64_t last_keep_alive_ = 0;
  bool quiet_restart_ = false;
  std::atomic<bool> play_sent_{false};
  CRtpSequenceCheck sequence_;

  std::mutex abort_lock_;
  Web::CHttpClient* abortable_http_ = nullptr;   // guarded by abort_lock_
  CBaseRTSPClient* abortable_rtsp_ = nullptr;    // guarded by abort_lock_
};

// What the three codec channels share: the stream kind, this camera family's RTSP client, the
// encoder configuration and the time-stamp converter.
class CCommonChannelRTSP : public CBaseRTSPChannel {
 public:
  static constexpr const char* kAllocationTag = "Tessavirn";

  CCommonChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer,
                     int stream_kind);

  int stream_kind() const { return stream_kind_; }

 protected:
  CBaseRTSPClient* CreateRTSPClient() override;
  // Sets the camera's encoder for this input to the host's format over both generations of the
  // parameter interface; resets the time-stamp converter.
  bool ConfigureEncoder() override;
  virtual void FillStreamProfile(StreamProfile& profile) = 0;

  CTimeStampConverter& time_stamps() { return time_stamps_; }

  // What to do with the frame time when the host refuses a frame.
  enum class MarkRefused : bool { kNo, kYes };
  // Hands one frame to the host: `pieces` one after the other in a buffer of buffer_size bytes
  // of the given type, with the picture size given, the channel's size class and the frame time
  // of the last RTP time stamp. True when the host took it; the frame time is marked then, and
  // with MarkRefused::kYes also when it refused it.
  bool HandToHost(std::uint32_t type, std::uint32_t buffer_size,
                  std::initializer_list<std::span<const std::uint8_t>> pieces, std::uint32_t picture_width,
                  std::uint32_t picture_height, MarkRefused mark_refused);

 private:
  int stream_kind_;
  CTimeStampConverter time_stamps_;
};

}  // namespace kalmora
