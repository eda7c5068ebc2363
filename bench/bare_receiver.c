// The least a receiver of one RTP/UDP stream can do, as a floor to compare real receivers with:
// RTSP by hand (DESCRIBE, SETUP, PLAY, TEARDOWN), then recvmmsg in batches that only count
// packets, bytes and marker bits (frames) until the deadline.
// Usage: tessavirn_bare_receiver ADDRESS STREAM SECONDS [RTSP_PORT [MARKER_LOG]]
//   STREAM: h264, mjpeg or mpeg4 (rtsp://ADDRESS:PORT/VideoInput/1/STREAM/1). Prints one line:
//   bare_receiver: packets=N bytes=N frames=N seconds=S
//   MARKER_LOG: a file that gets "rtp_time realtime_ns" for every marker packet as it is taken
//   from the socket, the floor of the delay from a camera's marker packet to a receiver.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum {
  kBatch = 64,
  kDatagramSize = 2048,
  kResponseCap = 16384,
  kExchangeMs = 5000,  // one request and its whole response
  kReceiveBuffer = 2 * 1024 * 1024,
  kPortTries = 100,
};

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int rtsp_fd = -1;
static unsigned cseq;
static char session[128];
static int session_timeout_s = 60;
static char response[kResponseCap + 1];

// The value of header NAME in the response headers (case-insensitive), copied up to a CR, or
// NULL when absent.
static const char* Header(const char* name, char* out, size_t out_size) {
  const size_t length = strlen(name);
  for (const char* line = strstr(response, "\r\n"); line != NULL; line = strstr(line + 2, "\r\n")) {
    if (line[2] == '\r') break;  // the blank line that ends the headers
    if (strncasecmp(line + 2, name, length) != 0 || line[2 + length] != ':') continue;
    const char* value = line + 3 + length;
    while (*value == ' ') ++value;
    const size_t n = strcspn(value, "\r");
    if (n >= out_size) return NULL;
    memcpy(out, value, n);
    out[n] = '\0';
    return out;
  }
  return NULL;
}

// Sends one request and reads its response into `response` within kExchangeMs; returns the
// status code, or -1 on a failure of the connection, the deadline or the size cap.
static int Exchange(const char* method, const char* url, const char* extra) {
  char request[1024];
  const int n = snprintf(request, sizeof request, "%s %s RTSP/1.0\r\nCSeq: %u\r\n%s%s%s%s\r\n",
                         method, url, ++cseq, session[0] ? "Session: " : "", session,
                         session[0] ? "\r\n" : "", extra);
  if (n < 0 || n >= (int)sizeof request) return -1;
  if (send(rtsp_fd, request, (size_t)n, MSG_NOSIGNAL) != n) return -1;
  const double deadline = Now() + kExchangeMs / 1000.0;
  size_t have = 0;
  size_t wanted = 0;  // headers plus body, once the headers are complete
  while (wanted == 0 || have < wanted) {
    const int left_ms = (int)((deadline - Now()) * 1000);
    struct pollfd ready = {.fd = rtsp_fd, .events = POLLIN};
    if (left_ms <= 0 || poll(&ready, 1, left_ms) <= 0 || have == kResponseCap) return -1;
    const ssize_t got = recv(rtsp_fd, response + have, kResponseCap - have, 0);
    if (got <= 0) return -1;
    have += (size_t)got;
    response[have] = '\0';
    const char* end = strstr(response, "\r\n\r\n");
    if (wanted == 0 && end != NULL) {
      char length[32];
      const long body = Header("Content-Length", length, sizeof length) ? atol(length) : 0;
      if (body < 0 || body > kResponseCap) return -1;
      wanted = (size_t)(end + 4 - response) + (size_t)body;
    }
  }
  int status = 0;
  return sscanf(response, "RTSP/1.0 %d", &status) == 1 ? status : -1;
}

static int Fail(const char* what) {
  fprintf(stderr, "bare_receiver: %s\n", what);
  return 1;
}

// An even port P with P and P+1 bound; the RTP socket in *rtp, the RTCP one (never read) in *rtcp.
static int BindPair(int* rtp, int* rtcp) {
  for (int i = 0; i < kPortTries; ++i) {
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_ANY)};
    socklen_t size = sizeof address;
    *rtp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (*rtp < 0 || bind(*rtp, (struct sockaddr*)&address, size) != 0 ||
        getsockname(*rtp, (struct sockaddr*)&address, &size) != 0) return -1;
    const int port = ntohs(address.sin_port);
    address.sin_port = htons((uint16_t)(port + 1));
    *rtcp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (port % 2 == 0 && port < 65535 && *rtcp >= 0 &&
        bind(*rtcp, (struct sockaddr*)&address, sizeof address) == 0) return port;
    close(*rtp);
    if (*rtcp >= 0) close(*rtcp);
  }
  return -1;
}

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6 || atof(argv[3]) <= 0) {
    fprintf(stderr, "usage: %s ADDRESS STREAM SECONDS [RTSP_PORT [MARKER_LOG]]\n", argv[0]);
    return 2;
  }
  const double seconds = atof(argv[3]);
  const int rtsp_port = argc >= 5 ? atoi(argv[4]) : 554;
  FILE* marker_log = NULL;
  if (argc == 6 && (marker_log = fopen(argv[5], "w")) == NULL) return Fail("cannot write MARKER_LOG");
  char url[256];
  char track[400];
  char extra[256];
  snprintf(url, sizeof url, "rtsp://%s:%d/VideoInput/1/%s/1", argv[1], rtsp_port, argv[2]);

  int rtp = -1;
  int rtcp = -1;
  const int client_port = BindPair(&rtp, &rtcp);
  if (client_port < 0) return Fail("no free even UDP port pair");
  const int buffer = kReceiveBuffer;
  const struct timeval slice = {.tv_sec = 0, .tv_usec = 200000};  // so the deadline is seen
  setsockopt(rtp, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(rtp, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);

  struct sockaddr_in server = {.sin_family = AF_INET, .sin_port = htons((uint16_t)rtsp_port)};
  const struct timeval connect_limit = {.tv_sec = kExchangeMs / 1000};
  rtsp_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) return Fail("ADDRESS is not IPv4");
  setsockopt(rtsp_fd, SOL_SOCKET, SO_SNDTIMEO, &connect_limit, sizeof connect_limit);
  if (connect(rtsp_fd, (struct sockaddr*)&server, sizeof server) != 0) return Fail("connect failed");

  int status = Exchange("DESCRIBE", url, "Accept: application/sdp\r\n");
  if (status == 401) return Fail("DESCRIBE: the camera asks for authentication");
  if (status != 200) return Fail("DESCRIBE failed");
  // The track's control URL: the SDP's a=control, absolute or under Content-Base.
  char base[300];
  const char* control = strstr(response, "a=control:");
  if (control == NULL) return Fail("DESCRIBE: no a=control in the SDP");
  control += strlen("a=control:");
  const int control_length = (int)strcspn(control, "\r\n");
  if (strncmp(control, "rtsp://", 7) == 0) {
    snprintf(track, sizeof track, "%.*s", control_length, control);
  } else {
    if (Header("Content-Base", base, sizeof base) == NULL) snprintf(base, sizeof base, "%s/", url);
    snprintf(track, sizeof track, "%s%.*s", base, control_length, control);
  }

  snprintf(extra, sizeof extra, "Transport: RTP/AVP;unicast;client_port=%d-%d\r\n", client_port,
           client_port + 1);
  if (Exchange("SETUP", track, extra) != 200) return Fail("SETUP failed");
  if (Header("Session", session, sizeof session) == NULL) return Fail("SETUP: no Session header");
  char* parameters = strchr(session, ';');
  if (parameters != NULL) {
    const char* timeout = strstr(parameters, "timeout=");
    if (timeout != NULL && atoi(timeout + 8) > 0) session_timeout_s = atoi(timeout + 8);
    *parameters = '\0';
  }
  if (Exchange("PLAY", url, "Range: npt=0.000-\r\n") != 200) return Fail("PLAY failed");

  static unsigned char buffers[kBatch][kDatagramSize];
  struct iovec vectors[kBatch];
  struct mmsghdr messages[kBatch];
  memset(messages, 0, sizeof messages);
  for (int i = 0; i < kBatch; ++i) {
    vectors[i] = (struct iovec){.iov_base = buffers[i], .iov_len = kDatagramSize};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  unsigned long long packets = 0, bytes = 0, frames = 0;
  uint32_t frame_time = 0;  // RTP time stamp of the last marker packet
  const double start = Now();
  const double end = start + seconds;
  double keep_alive = start + session_timeout_s / 2.0;
  for (double now = start; now < end; now = Now()) {
    if (now >= keep_alive) {
      if (Exchange("OPTIONS", url, "") != 200) return Fail("keep-alive OPTIONS failed");
      keep_alive = now + session_timeout_s / 2.0;
    }
    const int got = recvmmsg(rtp, messages, kBatch, MSG_WAITFORONE, NULL);
    if (got < 0 && errno != EAGAIN && errno != EINTR) return Fail("recvmmsg failed");
    struct timespec taken;
    if (marker_log != NULL) clock_gettime(CLOCK_REALTIME, &taken);
    for (int i = 0; i < got; ++i) {
      ++packets;
      bytes += messages[i].msg_len;
      // RTP version 2 with the marker bit ends an access unit; one with its picture's time stamp
      // (parameter sets sent ahead of a key frame) is not a frame of its own.
      const unsigned char* header = buffers[i];
      if (messages[i].msg_len < 12 || (header[0] & 0xC0) != 0x80 || (header[1] & 0x80) == 0) continue;
      const uint32_t time = (uint32_t)header[4] << 24 | (uint32_t)header[5] << 16 |
                            (uint32_t)header[6] << 8 | header[7];
      if (frames == 0 || time != frame_time) ++frames;
      frame_time = time;
      if (marker_log != NULL) {
        fprintf(marker_log, "%u %lld\n", time, (long long)taken.tv_sec * 1000000000LL + taken.tv_nsec);
      }
    }
  }
  const double elapsed = Now() - start;
  if (Exchange("TEARDOWN", url, "") != 200) fprintf(stderr, "bare_receiver: TEARDOWN failed\n");
  close(rtsp_fd);
  if (marker_log != NULL) fclose(marker_log);
  close(rtp);
  close(rtcp);
  printf("bare_receiver: packets=%llu bytes=%llu frames=%llu seconds=%.3f\n", packets, bytes, frames,
         elapsed);
  return 0;
}
