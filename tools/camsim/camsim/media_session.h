// The media of one RTSP session: RTP over UDP from a bound port pair, RTCP beside it.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camsim/media_faults.h"
#include "camsim/media_source.h"
#include "camsim/rtsp_recorder.h"

namespace camsim {

struct MediaOptions {
  std::string cname = "camsim";  // of the sender reports' source description
};

// Sends the source's units in a loop from its first, one picture per frame interval on a steady
// clock, a header unit (parameter sets, a configuration header) right before its picture with
// the same time stamp. Sequence
// number, time stamp and SSRC start at random values. About once a second a sender report goes
// to the client's RTCP port; receiver reports arriving on the RTCP socket are counted.
//
// Threads: Open, Play and Stop are called from the server's threads (serialised by
// control_mutex_); the media thread owns the sockets' sending side and the stream state. Stop
// wakes the media thread's waits at once and joins it.
class MediaSession {
 public:
  MediaSession(std::string id, std::shared_ptr<const MediaSource> source, MediaOptions options,
               RtspRecorder& recorder, MediaFaultSet& faults);
  ~MediaSession();
  MediaSession(const MediaSession&) = delete;
  MediaSession& operator=(const MediaSession&) = delete;

  // Binds an RTP port (even) and RTCP port (the next) on local_address; media will go to the
  // client's address at its two ports. False with a reason when no pair can be bound.
  bool Open(const std::string& local_address, const in_addr& client, std::uint16_t client_rtp,
            std::uint16_t client_rtcp, std::string* error);
  // Starts the media thread; later calls do nothing. False if already stopped.
  bool Play();
  void Stop();

  const std::string& id() const { return id_; }
  std::uint16_t server_rtp_port() const { return server_rtp_port_; }
  std::uint16_t server_rtcp_port() const { return static_cast<std::uint16_t>(server_rtp_port_ + 1); }
  std::uint16_t client_rtp_port() const { return client_rtp_port_; }
  std::uint16_t client_rtcp_port() const { return client_rtcp_port_; }
  std::uint32_t ssrc() const { return ssrc_; }
  std::uint16_t first_sequence() const { return first_sequence_; }
  std::uint32_t first_time_stamp() const { return first_time_stamp_; }

 private:
  void Run();
  // Sleeps until deadline, reading RTCP meanwhile; false when Stop cut it short.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  void ReadRtcp();
  // Sends a unit of the source; whether it was a picture (not a header unit).
  bool SendUnit(std::size_t unit, std::uint64_t index);
  void SendDatagram(const std::string& packet, PacketTally& tally);
  void SendSenderReport();

  const std::string id_;
  const std::shared_ptr<const MediaSource> source_;
  const MediaOptions options_;
  RtspRecorder& recorder_;
  MediaFaultSet& faults_;

  // Set by Open, before the media thread exists; constant afterwards.
  int rtp_socket_ = -1;
  int rtcp_socket_ = -1;
  sockaddr_in client_rtp_{};
  sockaddr_in client_rtcp_{};
  std::uint16_t server_rtp_port_ = 0;
  std::uint16_t client_rtp_port_ = 0;
  std::uint16_t client_rtcp_port_ = 0;
  std::uint32_t ssrc_ = 0;
  std::uint16_t first_sequence_ = 0;
  std::uint32_t first_time_stamp_ = 0;

  // Media thread only.
  std::uint16_t next_sequence_ = 0;
  std::uint32_t time_stamp_ = 0;
  std::chrono::steady_clock::time_point time_stamp_taken_;  // when the last picture left
  bool sent_picture_ = false;
  std::uint32_t packets_sent_ = 0;
  std::uint32_t octets_sent_ = 0;
  PacketFaultFilter filter_;
  std::vector<MediaFault> packet_faults_;
  std::uint64_t packet_faults_version_ = ~std::uint64_t{0};
  std::optional<std::string> held_;  // a packet that waits for the next one (reordering)

  std::mutex control_mutex_;  // serialises Play and Stop
  std::thread thread_;        // guarded by control_mutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
};

}  // namespace camsim
