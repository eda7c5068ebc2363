#include "streaming/rtsp_requests.h"

#include "camera/value_functions.h"

namespace kalmora {

std::string_view RTSPStreamName(int stream_kind) {
  switch (stream_kind) {
    case kRTSPStreamMJPEG:
      return "mjpeg";
    case kRTSPStreamMPEG4:
      return "mpeg4";
    case kRTSPStreamH264:
      return "h264";
    default:
      return {};
  }
}

std::string FormatRTSPRequest(int type, const RTSPRequestArgs& args, unsigned cseq) {
  const std::string_view stream_name = RTSPStreamName(args.stream_kind);
  if (stream_name.empty()) return {};
  // The names are literals, so data() is NUL-terminated.
  const char* const stream = stream_name.data();
  const char* const host = args.host.c_str();
  const int port = kRTSPServerPort;
  const unsigned input = args.video_input;
  const char* const session = args.session_id.c_str();
  // The camera matches these texts byte for byte, so they stay printf formats exactly as its
  // firmware documents them.
  switch (type) {
    case kRTSPDescribe:
      return FormatText(
          "DESCRIBE rtsp://%s:%d/VideoInput/%u/%s/1 RTSP/1.0\r\nCSeq: %u\r\nAccept: "
          "application/sdp\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq);
    case kRTSPSetup:
      // The channel's single media track is always trackID=1; the SDP is not read.
      return FormatText(
          "SETUP rtsp://%s:%d/VideoInput/%u/%s/1/trackID=1 RTSP/1.0\r\nCSeq: %u\r\nTransport: "
          "RTP/AVP;unicast;client_port=%u-%u\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq, args.client_rtp_port, args.client_rtcp_port);
    case kRTSPPlay:
      return FormatText(
          "PLAY rtsp://%s:%d/VideoInput/%u/%s/1 RTSP/1.0\r\nCSeq: %u\r\nSession: %s\r\nRange: "
          "npt=0.000-\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq, session);
    case kRTSPPause:
      return FormatText(
          "PAUSE rtsp://%s:%d/VideoInput/%u/%s/1 RTSP/1.0\r\nCSeq: %u\r\nSession: "
          "%s\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq, session);
    case kRTSPTeardown:
      return FormatText(
          "TEARDOWN rtsp://%s:%d/VideoInput/%u/%s/1 RTSP/1.0\r\nCSeq: %u\r\nSession: "
          "%s\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq, session);
    case kRTSPOptions:
      // Sent as the keep-alive of the session (RFC 2326 section 10.1), hence the Session header.
      return FormatText(
          "OPTIONS rtsp://%s:%d/VideoInput/%u/%s/1 RTSP/1.0\r\nCSeq: %u\r\nSession: "
          "%s\r\nUser-Agent: Kalmora\r\n\r\n",
          host, port, input, stream, cseq, session);
    default:
      return {};
  }
}

std::string BuildRTSPRequest(int type, const RTSPRequestArgs& args, CRTSPCSeqCounter& cseq) {
  if (type < kRTSPDescribe || type > kRTSPOptions || RTSPStreamName(args.stream_kind).empty()) {
    return {};
  }
  return FormatRTSPRequest(type, args, cseq.Next());
}

}  // namespace kalmora
