#include "streaming/rtsp_channel.h"

#include <cstring>
#include <new>

#include "camera/http_client.h"
#include "driver/capture_driver.h"
#include "host/types.h"
#include "platform/clock.h"

namespace kalmora {

namespace {

constexpr const char* kHttpAgent = "Kalmora::HttpClient";

}  // namespace

SignalAction CheckSignal(std::uint32_t elapsed_ms, std::uint32_t timeout_ms, std::int32_t state, bool& armed) {
  if (elapsed_ms > timeout_ms) {
    if (armed && state == ipcapture::kChannelSignalLost) return SignalAction::kNone;
    armed = true;
    return SignalAction::kReportLoss;
  }
  if (elapsed_ms > timeout_ms * 3 / 5) {
    if (armed && state == ipcapture::kChannelStreaming) {
      armed = false;
      return SignalAction::kQuietRestart;
    }
    return SignalAction::kNone;
  }
  if (state == ipcapture::kChannelStreaming && !armed) {
    armed = true;
    return SignalAction::kArm;
  }
  return SignalAction::kNone;
}

CBaseRTSPChannel::CBaseRTSPChannel(std::uint32_t channel, CIPCaptureDriver* driver,
                                   ipcapture::ICaptureFrameCallback* consumer)
    : CBaseCameraChannel(channel, driver, consumer) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
  Stop();
  CloseSession();
}

std::uint32_t CBaseRTSPChannel::ThreadBody() {
  bool armed = true;
  for (;;) {
    if (GetState() != ipcapture::kChannelStreaming) {
      OpenSession();
    } else {
      RunKeepAliveCheck();
    }
    if (stop_event().Wait(kLoopWaitMs)) break;
    RunSignalCheck(armed);
  }
  CloseSession();
  return 0;
}

void CBaseRTSPChannel::RunKeepAliveCheck() {
  if (!client_) return;
  const std::uint64_t now = Now();
  const std::uint64_t elapsed = now > last_keep_alive_ ? now - last_keep_alive_ : 0;
  if (KeepAliveDue(elapsed, client_->GetSessionTimeoutMs())) {
    SendKeepAlive();
    last_keep_alive_ = Now();
  }
}

void CBaseRTSPChannel::RunSignalCheck(bool& armed) {
  switch (CheckSignal(MillisecondsSinceLastFrame(), signal_loss_timeout_ms(), GetState(), armed)) {
    case SignalAction::kReportLoss:
      if (consumer() != nullptr) consumer()->NotifyNoSignal();
      SetState(ipcapture::kChannelSignalLost);
      SetCameraState(false);
      break;
    case SignalAction::kQuietRestart:
      quiet_restart_ = true;
      SetState(ipcapture::kChannelSignalLost);
      break;
    case SignalAction::kArm:
    case SignalAction::kNone:
      break;
  }
}

void CBaseRTSPChannel::SendKeepAlive() {
  if (!client_ || !RegisterAbortable(client_.get())) return;
  client_->SendRequest(kRTSPOptions);
  UnregisterAbortable();
}

bool CBaseRTSPChannel::OpenSession() {
  CloseSession();
  if (StopRequested()) return false;
  if (!ConfigureEncoder()) {
    CloseSession();
    return false;
  }
  client_.reset(CreateRTSPClient());
  responder_.reset(new (std::nothrow) CRTCPResponder());
  receiver_.reset(new (std::nothrow) CRTPReceiver());
  if (!client_ || !responder_ || !receiver_ || !FindPortPair()) {
    CloseSession();
    return false;
  }
  receiver_->SetSourceFilter(&source_filter_);
  responder_->SetSourceFilter(&source_filter_);

  CIPCaptureDriver* owner = driver();
  bool opened = owner != nullptr && RegisterAbortable(client_.get());
  if (opened) {
    const std::uint16_t rtp = rtp_port_.load();
    opened = client_->Connect(owner->communication_timeout_ms(), rtp, rtp + 1, owner->address(), owner->user_name(),
                              owner->password());
    if (opened) {
      receiver_->SetRTPUser(this);
      opened = client_->SendRequest(kRTSPDescribe) && client_->SendRequest(kRTSPSetup);
      // A camera that names its source in SETUP is followed from the first packet: nothing that
      // reached the port before it can take the stream's place.
      if (opened && client_->reply().has_ssrc) source_filter_.Lock(client_->reply().ssrc);
      // The camera may send the first packets before its PLAY reply has been read.
      play_sent_.store(opened);
      opened = opened && client_->SendRequest(kRTSPPlay);
    }
    UnregisterAbortable();
  }
  if (!opened) {
    CloseSession();
    return false;
  }
  // The receive thread already runs: only the sequence check and the keep-alive time are the
  // channel thread's to set here; the codec assembly state was reset before the port opened.
  last_keep_alive_ = Now();
  SetState(ipcapture::kChannelStreaming);
  play_sent_.store(false);
  return true;
}

bool CBaseRTSPChannel::FindPortPair() {
  for (std::uint32_t port = kFirstRtpPort; port <= kLastRtpPort;) {
    if (StopRequested()) return false;
    const int opened = receiver_->Port().Open(static_cast<std::uint16_t>(port));
    if (opened != kUDPOpened) {
      port += 2;
      continue;
    }
    if (responder_->Start(static_cast<std::uint16_t>(port + 1))) {
      rtp_port_.store(static_cast<std::uint16_t>(port));
      return true;
    }
    receiver_->Port().Close();
    port += 1;
  }
  return false;
}

void CBaseRTSPChannel::CloseSession() {
  if (StopRequested()) {
    SetState(ipcapture::kChannelStopped);
    SetCameraState(false);
  } else if (quiet_restart_) {
    quiet_restart_ = false;
  } else {
    if (GetState() != ipcapture::kChannelSignalLost) SetState(ipcapture::kChannelStopped);
    SetCameraState(false);
  }
  play_sent_.store(false);
  if (receiver_) {
    receiver_->SetRTPUser(nullptr);
    receiver_->Port().Close();
    receiver_.reset();
  }
  if (client_) {
    // Sent on a stop too, so the camera learns the session ended. Its reply wait is bounded by
    // the receive time-out; a stop that comes while it runs cuts it short.
    const bool abortable = RegisterAbortable(client_.get());
    client_->SendRequest(kRTSPTeardown);
    if (abortable) UnregisterAbortable();
    client_->Disconnect();
    client_.reset();
  }
  if (responder_) {
    responder_->RequestStop();
    responder_->WaitForEnd();
    responder_.reset();
  }
  rtp_port_.store(0);
  ResetAssembly();
}

void CBaseRTSPChannel::ResetAssembly() {
  sequence_.Reset();
  // The next session locks onto its own source.
  source_filter_.Reset();
  last_keep_alive_ = Now();
}

void CBaseRTSPChannel::OnPortClosed(CRTPReceiver* /*receiver*/) {
  if (GetState() == ipcapture::kChannelStreaming) {
    SetState(ipcapture::kChannelSignalLost);
    SetCameraState(false);
  }
}

bool CBaseRTSPChannel::RegisterAbortable(Web::CHttpClient* http) {
  std::lock_guard<std::mutex> guard(abort_lock_);
  if (StopRequested()) return false;
  abortable_http_ = http;
  return true;
}

bool CBaseRTSPChannel::RegisterAbortable(CBaseRTSPClient* rtsp) {
  std::lock_guard<std::mutex> guard(abort_lock_);
  if (StopRequested()) return false;
  abortable_rtsp_ = rtsp;
  return true;
}

void CBaseRTSPChannel::UnregisterAbortable() {
  std::lock_guard<std::mutex> guard(abort_lock_);
  abortable_http_ = nullptr;
  abortable_rtsp_ = nullptr;
}

void CBaseRTSPChannel::AbortBlockingWork() {
  std::lock_guard<std::mutex> guard(abort_lock_);
  if (abortable_http_ != nullptr) abortable_http_->Cancel();
  if (abortable_rtsp_ != nullptr) abortable_rtsp_->Abort();
}

CCommonChannelRTSP::CCommonChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver,
                                       ipcapture::ICaptureFrameCallback* consumer, int stream_kind)
    : CBaseRTSPChannel(channel, driver, consumer), stream_kind_(stream_kind) {}

CBaseRTSPClient* CCommonChannelRTSP::CreateRTSPClient() {
  return new (std::nothrow) COrvaneRTSPClient(channel() + 1, stream_kind_);
}

bool CCommonChannelRTSP::ConfigureEncoder() {
  CIPCaptureDriver* owner = driver();
  if (owner == nullptr) return false;
  Web::CHttpClient http(kHttpAgent, owner->communication_timeout_ms());
  http.SetHost(owner->address().c_str());
  http.SetPort(owner->port());
  http.SetUser(owner->user_name().c_str());
  http.SetPassword(owner->password().c_str());
  time_stamps_.Reset();

  EncoderInputs inputs = FormatEncoderInputs();
  inputs.min_bitrate = owner->CustomParameterText(kParamMinimumBitrate);
  inputs.max_bitrate = owner->CustomParameterText(kParamMaximumBitrate);
  inputs.media_type_option = owner->CustomParameterText(kParamMediaTypeSupport);
  StreamProfile profile;
  FillStreamProfile(profile);
  const std::vector<EncoderRequest> requests = BuildEncoderRequests(inputs, profile);

  if (!RegisterAbortable(&http)) return false;
  const bool configured = SendEncoderRequests(http, requests);
  UnregisterAbortable();
  return configured && !StopRequested();
}

bool CCommonChannelRTSP::HandToHost(std::uint32_t type, std::uint32_t buffer_size,
                                    std::initializer_list<std::span<const std::uint8_t>> pieces,
                                    std::uint32_t picture_width, std::uint32_t picture_height,
                                    MarkRefused mark_refused) {
  ipcapture::ICaptureFrameFactory* factory = frame_factory();
  if (factory == nullptr) return false;
  ipcapture::ICaptureFrame* frame = factory->AllocateFrame(type, buffer_size, kAllocationTag);
  if (frame == nullptr) return false;
  std::uint32_t length = 0;
  for (const auto piece : pieces) {
    if (!piece.empty()) std::memcpy(frame->GetData() + length, piece.data(), piece.size());
    length += static_cast<std::uint32_t>(piece.size());
  }
  ipcapture::SystemTime stamp;
  time_stamps_.GetFrameTime(stamp);
  frame->SetWidth(picture_width);
  frame->SetHeight(picture_height);
  frame->SetSizeClass(PictureSizeClass(width(), height()));
  frame->SetDataLength(length);
  frame->SetFrameType(type);
  frame->SetTimeStamp(stamp);

  const bool taken = consumer() != nullptr && consumer()->CaptureFrameCallback(frame);
  if (taken || mark_refused == MarkRefused::kYes) MarkFrameReceived();
  factory->ReleaseFrame(frame);
  if (taken) SetCameraState(true);
  return taken;
}

}  // namespace kalmora
