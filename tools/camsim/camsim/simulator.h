#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camsim/faults.h"
#include "camsim/media_faults.h"
#include "camsim/parameter_tree.h"
#include "camsim/rtsp_types.h"
#include "camsim/video_jpeg.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace camsim {

class RtspRecorder;
class RtspServer;

enum class AuthMode { kNone, kBasic, kDigest };

std::string_view AuthModeName(AuthMode mode);
std::optional<AuthMode> ParseAuthMode(std::string_view name);

struct AuthSettings {
  AuthMode mode = AuthMode::kNone;
  std::string user = "admin";
  std::string password;
  std::string realm = "Orvane Network Camera";
};

// The authentication a request carried, as the camera saw it.
enum class AuthUsed { kNone, kBasic, kDigest, kOther };
std::string_view AuthUsedName(AuthUsed used);

// One request, logged when the simulator answers it (a delayed request when its delay ends).
struct RequestRecord {
  std::uint64_t sequence = 0;  // 1, 2, ... across the simulator's life (ClearRequestLog keeps it)
  std::uint64_t connection_id = 0;  // 1, 2, ... in the order TCP connections were accepted
  std::string method;
  std::string target;  // the request target as sent: "/params/get.cgi?General.Brand*"
  std::string body;
  AuthUsed auth = AuthUsed::kNone;
  std::string auth_user;       // the user name the credentials named, empty without any
  bool auth_accepted = false;  // true also when the simulator asks for no authentication
  int status = 0;              // status the simulator answered with
};

// One write of a relay output key through params/set.cgi, logged when the request arrives
// (before faults act, so also for requests later refused, delayed or dropped).
struct OutputWrite {
  std::uint64_t sequence = 0;  // 1, 2, ... in arrival order across the simulator's life
  std::chrono::steady_clock::time_point arrived;
  std::string key;    // "Cc-1.Output-1.OperationalMode" or "Data-1.Status.AuxOut1"
  std::string value;  // decoded: "Invert"
};

// One params/set.cgi request (any method), logged when the whole request has arrived (before
// faults act, so also for requests later delayed, refused or dropped). PTZ commands are such
// requests, one each, so tests compare them in the order and at the time the camera got them.
struct SetRequest {
  std::uint64_t sequence = 0;  // 1, 2, ... in arrival order across the simulator's life
  std::chrono::steady_clock::time_point arrived;
  std::string query;  // raw, undecoded text after '?', as sent; empty without one
};

struct ConnectionCounters {
  std::uint64_t accepted = 0;  // TCP connections accepted so far
  std::uint64_t closed = 0;    // of those, the ones that have ended
  std::uint64_t open() const { return accepted - closed; }
};

// A camera of the family on one address and port: its HTTP parameter interface over a
// parameter tree, authentication, "/video.jpg", a request log and fault injection, plus the
// admin paths under "/camsim/" for the camsim program's users:
//   /camsim/log                 the request log, one record a line (see FormatRecord)
//   /camsim/log?clear           empties it
//   /camsim/connections         "accepted=N", "closed=N", "open=N" lines
//   /camsim/faults              the faults in force, one a line
//   /camsim/faults?add=FAULT    adds a fault (ParseFault's text form); ?clear removes all
//   /camsim/params?K=V[&K=V]    writes (and creates) parameters, bypassing the camera rules
//   /camsim/auth?mode=M&user=U&password=P&realm=R   changes the authentication
//   /camsim/rtsp                the RTSP counters, "key=value" lines (FormatRtspCounters)
//   /camsim/restart?ms=N        restarts the camera (see Restart)
//   /camsim/video[?mode=M&fps=N&jitter=MS&seed=N&width=N&height=N&quality=N]   changes the
//                               /video.jpg settings (SetVideoJpegSettings; fields not given
//                               stay) and lists them, "key=value" lines
//   /camsim/io[?inputN=active|inactive&...][&clear]   sets alarm inputs (SetAlarmInput; 400
//                               for an input without keys) and with clear empties the output
//                               write list; lists every alarm input and relay output key of the
//                               tree as "key=value", then each output write as
//                               "write<TAB>SEQ<TAB>MS<TAB>KEY=VALUE", MS counted from Start
//   /camsim/sets[?clear]        with clear empties the set request list; lists each set request
//                               as "set<TAB>SEQ<TAB>MS<TAB>QUERY", MS counted from Start, QUERY
//                               as sent (escaped like the log's fields)
// /camsim/faults also takes and lists media faults (ParseMediaFault's text form).
// Admin requests need no authentication, suffer no faults and are not logged; their TCP
// connections are counted like any other.
//
// Digest authentication is libmicrohttpd's (MD5, qop=auth); in Digest mode Basic credentials
// are refused with a Digest challenge, in Basic mode Digest ones with a Basic challenge.
// Faults act in this order: delays, a drop (the connection closes with no reply, logged with
// status 0), the credentials check (reject-auth makes it fail), a forced status (answered
// whatever the credentials), then 401 or the answer; stall, close and the two framings without
// Content-Length shape whichever reply goes out. A stall of a reply without
// body waits before its headers. A delay or stall also ends when the client closes its
// connection, as a client gives up on a camera that does not answer. A 401 that the profile
// answers (ParameterTree's wildcard-status and unknown-key-status directives) carries the same
// challenge as a refusal of the credentials, Basic unless the camera asks for Digest.
//
// Slow or stalled PTZ commands: a delay on a pattern that includes the query, e.g.
// "delay:params/set.cgi?Data-1.Ptz-*:3000" ('?' is an ordinary character in patterns, and the
// query is matched as sent, undecoded), holds back the answer to each PTZ set for that long. A
// request whose client left during its delay still goes on as received: a set is applied to the
// tree and the request logged. SetRequests lists it on arrival, before its faults are taken: a
// test that must know a counted fault was used up waits until Faults() no longer lists it.
//
// Threads: the owner thread calls Start and Stop; every other operation may be called from any
// thread at any time. libmicrohttpd answers each connection on a thread of its own, which takes
// mutex_ for the tree, the log, the faults and the settings, and video_mutex_ for /video.jpg.
// Waits inside a reply (delays, stalls, jitter) end at once when Stop is called, so Stop never
// waits for a fault to run out.
//
// RTSP (off unless SetRtspSettings enables it) runs beside HTTP on the same address: see
// RtspServer for its threads and MediaSession for the media. Its counters, logs and media faults
// live in objects of their own with their own locks; none of them takes mutex_.
class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool LoadProfileFile(const std::string& path, std::string* error);
  bool LoadProfileText(std::string_view text, std::string* error);

  // Listens on address (an IPv4 literal) and port; port 0 picks a free port. False with a
  // reason when already running or the address cannot be bound.
  bool Start(const std::string& address, std::uint16_t port, std::string* error);
  // Ends every wait in progress, closes all connections and joins libmicrohttpd's threads.
  void Stop();
  // These four are for the owner thread, or for any thread while the simulator runs.
  bool running() const;
  std::uint16_t port() const;  // the bound port, also when Start was given 0
  std::string address() const;
  // "http://ADDRESS:PORT"
  std::string base_url() const;

  void SetAuth(const AuthSettings& auth);
  AuthSettings auth() const;

  std::optional<std::string> GetParameter(std::string_view key) const;
  // Changes or adds a parameter (the in-process counterpart of /camsim/params).
  void SetParameter(std::string_view key, std::string_view value);
  std::vector<Parameter> FindParameters(std::string_view request_key) const;
  // A copy of the whole tree, for comparisons.
  ParameterTree Tree() const;

  std::vector<RequestRecord> RequestLog() const;
  void ClearRequestLog();
  // Waits until at least count records are in the log, or timeout passes; returns whether they
  // are. The count includes records already there.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  ConnectionCounters Connections() const;
  // Waits until at least count connections have closed, or timeout passes.
  bool WaitForClosedConnections(std::uint64_t count, std::chrono::milliseconds timeout) const;

  void AddFault(const Fault& fault);
  void ClearFaults();
  std::vector<Fault> Faults() const;

  // Alarm inputs and relay outputs (simulator_io.cpp). Relay output N is
  // Cc-1.Output-N.OperationalMode ("Normal" / "Invert") or Data-1.Status.AuxOutN ("Off" / "On").
  //
  // Alarm input n (from 1) of the camera goes active or inactive: writes every key the profile
  // holds for it: Cc-1.Input-n.CcDetectAlarm and Data-1.Status.CameraAlarmn ("ON" / "-"), and
  // Cc-1.Udp-1.SourceSelection.InputMStatus ("True" / "False") for every entry M whose
  // InputMSource is "Camera Alarm n". Returns how many keys it wrote (0: the profile has none).
  int SetAlarmInput(unsigned n, bool active);
  // Every key=value item of a params/set.cgi request (any method) whose key has the shape of an
  // output key is logged, whether or not the tree holds the key; admin requests are not.
  std::vector<OutputWrite> OutputWrites() const;  // in arrival order, the last kMaxOutputWrites
  void ClearOutputWrites();
  // Waits until at least count writes are in the list (those already there included), or
  // timeout; whether they are.
  bool WaitForOutputWrites(std::size_t count, std::chrono::milliseconds timeout) const;
  static constexpr std::size_t kMaxOutputWrites = 1024;
  // Every params/set.cgi request, the last kMaxSetRequests in arrival order; admin requests are
  // not logged. Sequences count on across ClearSetRequests.
  std::vector<SetRequest> SetRequests() const;
  void ClearSetRequests();
  // Waits until at least count requests are in the list (those already there included), or
  // timeout; whether they are.
  bool WaitForSetRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  static constexpr std::size_t kMaxSetRequests = 1024;

  // "/video.jpg" (simulator_video.cpp). A new simulator serves one fixed 640 x 480 test picture,
  // whole in each body. SetJpegPicture and SetVideoJpegSettings both choose the pictures, and the
  // later call wins: SetJpegPicture makes every frame that picture (mode, fps and jitter stay);
  // SetVideoJpegSettings switches to a loop of kVideoLoopFrames distinct frames encoded at its
  // size and quality (fields out of range are clamped) and starts its frame clock and its seeded
  // draws again. GET takes the next body of the mode and waits its jitter; HEAD answers the
  // current picture's headers and changes nothing. Faults act on /video.jpg as on any path.
  void SetJpegPicture(std::string picture);
  // The picture shown now: the fixed one, or the loop's current frame.
  std::string JpegPicture() const;
  void SetVideoJpegSettings(const VideoJpegSettings& settings);
  VideoJpegSettings video_jpeg_settings() const;
  // The complete pictures served, in order, the last kMaxServedPictures; `completed`: when the
  // reply holding its last byte was queued. Sequences count on across ClearServedPictures.
  std::vector<ServedPicture> ServedPictures() const;
  void ClearServedPictures();
  static constexpr std::size_t kMaxServedPictures = 256;
  static constexpr int kVideoLoopFrames = 25;

  // RTSP. Settings take effect at the next Start, which then also starts RTSP (and fails if
  // the clip cannot be read or the RTSP port cannot be bound).
  void SetRtspSettings(const RtspSettings& settings);
  RtspSettings rtsp_settings() const;
  // The bound RTSP port (also when the settings asked for 0); 0 when RTSP is not running.
  std::uint16_t rtsp_port() const;
  // "rtsp://ADDRESS:PORT/VideoInput/INPUT/STREAM/1"
  std::string rtsp_url(unsigned input = 1, std::string_view stream = "h264") const;
  // The JPEG picture the Motion-JPEG stream sends as clip unit clip_unit (SentFrame::clip_unit):
  // while RTSP runs the one it encoded at Start, else as the current settings encode it. Empty
  // past the last picture or for settings that cannot be streamed. For the owner thread, or any
  // thread while the simulator runs.
  std::string MjpegFrame(std::size_t clip_unit) const;
  RtspCounters RtspStats() const;
  std::vector<RtspRequestRecord> RtspLog() const;
  // The last RtspRecorder::kMaxRecords access units sent, over all sessions.
  std::vector<SentFrame> SentFrames() const;
  // The ids of the sessions alive now.
  std::vector<std::string> RtspSessions() const;
  void AddMediaFault(const MediaFault& fault);  // kRestart calls Restart
  void ClearMediaFaults();
  std::vector<MediaFault> MediaFaults() const;
  // The camera restarts: every RTSP session and connection drops at once, RTSP connections are
  // refused (the listener is closed) and HTTP requests answer 503 for down; then both come back.
  // Starts at once and returns at once.
  void Restart(std::chrono::milliseconds down);
  // Wait until at least count RTSP requests arrived / access units (pictures and parameter-set
  // units) were sent / sessions were created, or timeout passes; whether they did.
  bool WaitForRtspRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForSentFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForRtspSessions(std::size_t created, std::chrono::milliseconds timeout) const;
  // Waits until condition holds for the counters, or timeout passes.
  bool WaitForRtsp(const std::function<bool(const RtspCounters&)>& condition,
                   std::chrono::milliseconds timeout) const;

  // One log record as the admin path prints it: fields separated by tabs, the body with CR, LF,
  // tab and backslash escaped.
  static std::string FormatRecord(const RequestRecord& record);

 private:
  struct Callbacks;  // libmicrohttpd's callbacks, in simulator_http.cpp
  friend struct Callbacks;
  struct Connection;
  struct Request;
  struct Reply;
  struct BodyStream;

  // Runs on a connection thread once the whole request has arrived.
  bool Answer(MHD_Connection* connection, Request* request);
  Reply AnswerAdmin(const std::string& path, const std::string& query);
  // simulator_rtsp.cpp: /camsim/rtsp and /camsim/restart; the status, with the body in body.
  int AnswerRtspAdmin(const std::string& path, const std::vector<std::string>& items,
                      std::string* body);
  bool StartRtsp(std::string* error);
  // simulator_video.cpp: the 200 answer to a read of /video.jpg, sent after its jitter, and
  // /camsim/video.
  bool AnswerVideo(MHD_Connection* connection, bool head, RequestRecord record,
                   const std::vector<Fault>& faults, int peer_socket);
  Reply AnswerVideoAdmin(const std::vector<std::string>& items);
  // simulator_io.cpp: logs a params/set.cgi request as it arrives, with the output writes among
  // the items of its query, and answers /camsim/io and /camsim/sets.
  void LogSetRequest(const std::string& query);
  Reply AnswerIoAdmin(const std::vector<std::string>& items);
  Reply AnswerSetsAdmin(const std::vector<std::string>& items);
  // Whether a restart keeps HTTP answering 503 now.
  bool DownLocked() const;
  // Sends reply shaped by faults; with challenge, as a 401 asking for that authentication.
  bool Queue(MHD_Connection* connection, const Reply& reply, const std::vector<Fault>& faults,
             const AuthSettings* challenge, bool stale_nonce);
  // Faults for this target; uses up one of each counted fault.
  std::vector<Fault> TakeFaultsLocked(const std::string& target);
  // Sleeps up to duration; false when Stop or the peer closing its socket cut it short.
  bool Wait(std::chrono::milliseconds duration, int peer_socket) const;
  void AppendLog(RequestRecord record);

  MHD_Daemon* daemon_ = nullptr;          // written by the owner thread in Start and Stop
  std::string address_;                   // written in Start only, before connection threads exist
  std::uint16_t port_ = 0;                // written in Start only, before connection threads exist
  unsigned char digest_random_[32] = {};  // read by libmicrohttpd while running

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // logs, connections or stopping_ changed
  bool stopping_ = false;                    // guarded by mutex_
  ParameterTree tree_;                       // guarded by mutex_
  AuthSettings auth_;                        // guarded by mutex_
  std::vector<Fault> faults_;                // guarded by mutex_
  std::vector<RequestRecord> log_;           // guarded by mutex_
  std::uint64_t next_sequence_ = 1;          // guarded by mutex_
  std::uint64_t next_connection_id_ = 1;     // guarded by mutex_
  ConnectionCounters connections_;           // guarded by mutex_
  RtspSettings rtsp_settings_;               // guarded by mutex_
  std::chrono::steady_clock::time_point down_until_;  // guarded by mutex_
  std::chrono::steady_clock::time_point started_;     // guarded by mutex_; set by Start
  std::deque<OutputWrite> output_writes_;             // guarded by mutex_
  std::uint64_t next_output_sequence_ = 1;            // guarded by mutex_
  std::deque<SetRequest> set_requests_;               // guarded by mutex_
  std::uint64_t next_set_sequence_ = 1;               // guarded by mutex_

  // /video.jpg's state has a lock of its own, never held together with mutex_ (AnswerVideo takes
  // them in turn).
  mutable std::mutex video_mutex_;
  VideoJpegStream video_;                   // guarded by video_mutex_
  std::deque<ServedPicture> served_;        // guarded by video_mutex_
  std::uint64_t next_served_sequence_ = 1;  // guarded by video_mutex_

  // Created with the simulator; each has its own lock.
  const std::unique_ptr<RtspRecorder> rtsp_recorder_;
  const std::unique_ptr<MediaFaultSet> media_faults_;
  const std::unique_ptr<RtspServer> rtsp_;  // started and stopped by the owner thread
};

}  // namespace camsim
