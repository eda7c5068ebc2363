// The RTSP control connection of one session (RFC 2326): connect, requests, replies.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "streaming/rtsp_requests.h"
#include "streaming/rtsp_response_parser.h"

namespace kalmora {

// Holds the TCP connection to the camera's port 554, sends requests and reads their replies.
// The camera's session id, session time-out and CSeq are kept from the replies for the requests
// that follow. The request texts come from the camera family's subclass.
//
// DESCRIBE, SETUP, PLAY and TEARDOWN wait for their reply; PAUSE and OPTIONS do not, and their
// replies are read and thrown away later: without blocking before the next request is sent, and
// in full before the next reply that is waited for, so keep-alive replies never pile up on the
// connection over a session of days.
//
// Every reply waited for has one deadline, the receive time-out counted from its request: a
// camera that trickles bytes cannot stretch it, and one that sends header bytes without end hits
// the parser's header cap first. A reply that fails (late, malformed, not 200, connection lost)
// leaves the connection in an unknown place, so every later request fails too; the client is
// then good only for Disconnect.
//
// Threads: one channel thread owns the client and calls everything but Abort, which the control
// thread may call at any time to cut a blocked connect, send or receive short. Once aborted,
// every operation but Disconnect fails.
class CBaseRTSPClient {
 public:
  static constexpr int kReceiveBufferBytes = 65536;
  static constexpr int kReceiveTimeoutMs = 2000;

  CBaseRTSPClient();
  virtual ~CBaseRTSPClient();
  CBaseRTSPClient(const CBaseRTSPClient&) = delete;
  CBaseRTSPClient& operator=(const CBaseRTSPClient&) = delete;

  // The text of a request of `type`, with the next CSeq; empty when this client cannot make it.
  virtual std::string BuildRequest(int type) = 0;

  // Connects to port 554 of host within timeout_ms (in 100 ms steps). True at once when already
  // connected. The ports are the client's RTP/RTCP pair that SETUP asks for; user name and
  // password are kept but never sent.
  bool Connect(std::uint32_t timeout_ms, int rtp_port, int rtcp_port, const std::string& host,
               const std::string& user, const std::string& password);
  // Sends one request; for DESCRIBE, SETUP, PLAY and TEARDOWN also reads its reply, which must
  // have status 200 and well-formed known headers.
  bool SendRequest(int type);
  // Reads the next reply waited for, after any unread keep-alive replies, within the receive
  // time-out from now.
  bool ReadResponse();
  void Disconnect();
  // Any thread: shuts the connection down so that a blocked connect or receive returns at once.
  void Abort();

  // The session time-out the camera announced last, 60 s when no reply announced one. A Session
  // header without a time-out keeps the one known: many cameras announce it in SETUP only.
  std::uint32_t GetSessionTimeoutMs() const;
  bool connected() const { return connected_; }
  // The last reply waited for.
  const RTSPReply& reply() const { return reply_; }
  const std::string& session_id() const { return session_id_; }
  // Replies to PAUSE and OPTIONS not yet read.
  int unread_replies() const { return unread_replies_; }

 protected:
  const std::string& host() const { return host_; }
  int client_rtp_port() const { return client_rtp_port_; }
  int client_rtcp_port() const { return client_rtcp_port_; }
  CRTSPCSeqCounter& cseq() { return cseq_; }

 private:
  using Deadline = std::chrono::steady_clock::time_point;
  enum class Receive { kData, kTimeout, kClosed, kFailed };
  bool ReadResponseBy(Deadline deadline);
  // One receive into pending_: waiting for data until the deadline, or (null) not at all.
  Receive ReceiveSome(const Deadline* deadline);
  // Feeds pending_ to the parser until a reply ends; true when one ended well. Without a deadline
  // only what has arrived is read: a reply cut there stays in the parser for the next call.
  bool ReadOneReply(CRTSPResponseParser::Mode mode, const Deadline* deadline);
  // Takes what a finished reply says about the session; a skipped reply only gives its CSeq.
  void Remember(const RTSPReply& reply, bool waited_for);
  void DiscardAvailableReplies();
  void CloseSocket();

  std::mutex socket_lock_;  // socket_ between Disconnect and Abort
  int socket_ = -1;
  bool connected_ = false;
  bool failed_ = false;  // a reply failed: the connection's position in the stream is unknown
  std::atomic<bool> aborted_{false};
  std::string host_;
  std::string user_;
  std::string password_;
  int client_rtp_port_ = 0;
  int client_rtcp_port_ = 0;
  CRTSPCSeqCounter cseq_;
  CRTSPResponseParser parser_;
  bool parser_mid_reply_ = false;  // the parser holds part of a reply to be skipped
  CRTSPResponseParser::Mode parser_mode_ = CRTSPResponseParser::Mode::kCheck;
  std::string pending_;            // received bytes the parser has not taken yet
  int unread_replies_ = 0;
  RTSPReply reply_;
  std::string session_id_;
  int session_timeout_s_ = 0;
};

// This camera family's requests: rtsp://host:554/VideoInput/<input>/<stream>/1, track "trackID=1".
class COrvaneRTSPClient final : public CBaseRTSPClient {
 public:
  // input: the channel number + 1; stream_kind: 1 Motion-JPEG, 2 MPEG-4, 3 H.264.
  COrvaneRTSPClient(unsigned input, int stream_kind) : input_(input), stream_kind_(stream_kind) {}
  ~COrvaneRTSPClient() override = default;

  std::string BuildRequest(int type) override;

 private:
  unsigned input_;
  int stream_kind_;
};

}  // namespace kalmora
