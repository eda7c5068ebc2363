// The camera's RTSP server: a TCP listener, one thread per control connection, the sessions and
// their media.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camsim/h264_packetizer.h"
#include "camsim/jpeg_packetizer.h"
#include "camsim/media_faults.h"
#include "camsim/media_session.h"
#include "camsim/mpeg4_packetizer.h"
#include "camsim/rtsp_message.h"
#include "camsim/rtsp_recorder.h"
#include "camsim/rtsp_types.h"

namespace camsim {

// The streams the server sends, by the name their URL gives them; a stream without a source
// answers 415.
struct MediaSources {
  std::shared_ptr<const H264Packetizer> h264;
  std::shared_ptr<const JpegPacketizer> mjpeg;
  std::shared_ptr<const Mpeg4Packetizer> mpeg4;

  // Null for a name the camera does not know, or a stream without a source.
  std::shared_ptr<const MediaSource> Find(std::string_view stream) const;
};

// Serves rtsp://ADDRESS:PORT/VideoInput/N/STREAM/1, STREAM being h264, mjpeg or mpeg4, with
// DESCRIBE, SETUP (of ".../trackID=1"), PLAY, OPTIONS, GET_PARAMETER and TEARDOWN. A session
// lives until TEARDOWN or until no request names it for the session time-out; it outlives the
// connection that set it up.
//
// Threads: the owner calls Start and Stop; Restart and the accessors may be called from any
// thread. The listener thread accepts connections, reaps ended connection threads, expires
// sessions and carries out restarts; each connection has a thread of its own. Every wait (a
// stalled reply, a restart's pause) ends on Stop; Stop joins all threads, media threads included.
class RtspServer {
 public:
  RtspServer(RtspRecorder& recorder, MediaFaultSet& faults);
  ~RtspServer();
  RtspServer(const RtspServer&) = delete;
  RtspServer& operator=(const RtspServer&) = delete;

  // Listens on address:settings.port (0: a free port). False with a reason when it cannot bind.
  bool Start(const std::string& address, const RtspSettings& settings, MediaSources sources,
             unsigned video_inputs, std::string* error);
  void Stop();
  bool running() const { return running_.load(); }
  std::uint16_t port() const { return port_.load(); }
  // For the owner thread, or any thread while the server runs: set by Start, kept after Stop.
  const MediaSources& sources() const { return sources_; }

  // Drops every session and connection at once and refuses connections for down (the listener
  // is closed), then listens again on the same port. Returns at once.
  void Restart(std::chrono::milliseconds down);
  // Whether a restart's pause is in progress.
  bool down() const;
  std::vector<std::string> SessionIds() const;

 private:
  struct Connection {
    std::uint64_t id = 0;
    int socket = -1;
    in_addr peer{};
    std::thread thread;
    bool done = false;     // guarded by mutex_: the thread has ended
    bool closing = false;  // guarded by mutex_: the server is dropping it
  };
  struct Session {
    std::shared_ptr<MediaSession> media;
    std::chrono::steady_clock::time_point last_request;
  };

  // Binds the listening socket to address_ and port (0: a free one); the bound port, 0 on failure.
  std::uint16_t Listen(std::uint16_t port, std::string* error);
  void ListenLoop();
  void Accept();
  void Serve(Connection& connection);
  // Closes every connection, joins their threads, then stops every session.
  void DropAll();
  void ReapConnections();
  void ExpireSessions();
  void Wake();
  // Sleeps up to duration; false when Stop, a restart or the peer closing cut it short.
  bool Wait(const Connection& connection, std::chrono::milliseconds duration);
  bool Send(const Connection& connection, const std::string& bytes) const;

  // rtsp_methods.cpp: the answers.
  RtspReply Answer(const RtspRequest& request, const Connection& connection);
  RtspReply Describe(const RtspRequest& request, RtspReply reply);
  RtspReply Setup(const RtspRequest& request, const Connection& connection, RtspReply reply);
  RtspReply Play(const RtspRequest& request, RtspReply reply);
  RtspReply Teardown(const RtspRequest& request, RtspReply reply);
  RtspReply KeepAlive(const RtspRequest& request, RtspReply reply);
  // The status a stream URL earns (200 when it names a stream the server sends).
  int CheckUrl(const std::optional<StreamUrl>& url, bool track) const;
  std::string Sdp(const MediaSource& source) const;
  // The Session header value: the id, with ";timeout=N" as the settings say (setup: a SETUP reply).
  std::string SessionHeader(const std::string& id, bool setup = false) const;
  // The session the request's Session header names, its time-out restarted; null when none.
  std::shared_ptr<MediaSession> TouchSession(const RtspRequest& request);
  std::string NewSessionIdLocked();

  RtspRecorder& recorder_;
  MediaFaultSet& faults_;

  // Written by Start before any thread exists; constant while running.
  std::string address_;
  RtspSettings settings_;
  MediaSources sources_;
  unsigned video_inputs_ = 1;
  std::atomic<std::uint16_t> port_ = 0;
  std::atomic<bool> running_ = false;
  int wake_fd_ = -1;
  std::string sdp_session_id_;

  int listen_fd_ = -1;  // the listener thread's once it runs
  std::thread listener_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // stopping_, restarts and closing flags
  bool stopping_ = false;                                              // guarded by mutex_
  std::optional<std::chrono::steady_clock::time_point> restart_until_;  // guarded by mutex_
  bool restart_pending_ = false;                                       // guarded by mutex_
  std::list<std::unique_ptr<Connection>> connections_;                 // guarded by mutex_
  std::map<std::string, Session> sessions_;                            // guarded by mutex_
  std::uint64_t next_connection_id_ = 1;                               // guarded by mutex_
  std::mt19937_64 random_;                                             // guarded by mutex_
};

}  // namespace camsim
