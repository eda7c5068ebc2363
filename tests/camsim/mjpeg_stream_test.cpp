// The Motion-JPEG stream on the wire (RFC 2435); the driver's rebuilt pictures are checked end
// to end in tests/e2e.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "jpeg_decode.h"
#include "rtsp_fixture.h"

namespace camsim_test {
namespace {

unsigned Byte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

// The entropy-coded data of a libjpeg picture: after the SOS segment, up to the final EOI.
std::string ScanData(const std::string& jpeg) {
  const std::size_t sos = jpeg.find("\xFF\xDA");
  if (sos == std::string::npos || sos + 4 > jpeg.size()) return {};
  const std::size_t begin = sos + 2 + ((Byte(jpeg, sos + 2) << 8) | Byte(jpeg, sos + 3));
  return jpeg.substr(begin, jpeg.size() - 2 - begin);
}

// The 64 values of 8-bit quantisation table `id` as libjpeg's DQT segment holds them, zig-zag.
std::string QuantTable(const std::string& jpeg, char id) {
  const std::size_t at = jpeg.find(std::string("\xFF\xDB\x00\x43", 4) + id);
  return at == std::string::npos ? std::string() : jpeg.substr(at + 5, 64);
}

TEST(MjpegStreamTest, EachSettingOnTheWire) {
  const struct {
    const char* label;
    int type, q;
    bool tables_once;
    int width, height;
    std::size_t max_payload;
  } kRows[] = {
      {"type 1, Q 50", 1, 50, false, 640, 480, 1400},
      {"type 0, Q 90", 0, 90, false, 640, 480, 1000},
      {"type 1, Q 255, tables in every frame", 1, 255, false, 320, 240, 1400},
      {"type 0, Q 255, tables once", 0, 255, true, 320, 240, 1400},
      {"type 64, restart markers", 64, 75, false, 176, 144, 600},
      {"type 65, restart markers and tables", 65, 128, false, 640, 480, 1400},
  };
  constexpr std::size_t kFrames = 3;
  const std::string address = "127.0.0.40";
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.label);
    camsim::RtspSettings settings;
    settings.max_payload = row.max_payload;
    settings.mjpeg = {.type = row.type, .q = row.q, .tables_once = row.tables_once,
                      .width = row.width, .height = row.height, .restart_interval = 5};
    camsim::Simulator simulator;
    ASSERT_TRUE(StartWithRtsp(simulator, address, settings));
    const std::optional<PlayedSession> played = PlaySession(simulator, address, "mjpeg", kFrames);
    ASSERT_TRUE(played);
    EXPECT_NE(played->sdp.find("m=video 0 RTP/AVP 26\r\n"), std::string::npos);
    const std::vector<std::vector<RtpView>> by_frame = PacketsByFrame(*played);
    ASSERT_EQ(by_frame.size(), kFrames);

    for (std::size_t f = 0; f < kFrames; ++f) {
      const camsim::SentFrame& sent = played->frames[f];
      const std::vector<RtpView>& packets = by_frame[f];
      ASSERT_EQ(packets.size(), sent.packets) << "frame " << f;
      EXPECT_EQ(sent.clip_unit, f);
      const std::string jpeg = simulator.MjpegFrame(sent.clip_unit);
      ASSERT_FALSE(jpeg.empty());
      EXPECT_EQ(sent.annexb_length, jpeg.size());
      std::string scan;
      for (std::size_t p = 0; p < packets.size(); ++p) {
        const std::string& payload = packets[p].payload;
        EXPECT_EQ(packets[p].payload_type, 26);
        EXPECT_EQ(packets[p].marker, p + 1 == packets.size());
        EXPECT_EQ(packets[p].time_stamp, sent.rtp_time);
        EXPECT_LE(payload.size(), row.max_payload);
        ASSERT_GE(payload.size(), 8u);
        // Main header: type-specific 0, the fragment offset, type, Q, width and height / 8.
        const std::size_t offset = scan.size();
        const std::string main = {'\0', char(offset >> 16), char(offset >> 8), char(offset),
                                  char(row.type), char(row.q), char(row.width / 8),
                                  char(row.height / 8)};
        EXPECT_EQ(payload.substr(0, 8), main) << "frame " << f << " packet " << p;
        std::size_t at = 8;
        if (row.type >= 64) {
          // Restart header in every packet: the interval, F and L set, the count 0x3FFF.
          EXPECT_EQ(payload.substr(at, 4), std::string("\x00\x05\xFF\xFF", 4));
          at += 4;
        }
        if (row.q >= 128 && p == 0) {
          const bool tables = !row.tables_once || f == 0;
          // Quantisation header: MBZ, precision 0, length 128, or 0 for the tables sent before.
          EXPECT_EQ(payload.substr(at, 4), std::string(3, '\0') + (tables ? '\x80' : '\0'));
          at += 4;
          if (tables) {
            EXPECT_EQ(payload.substr(at, 128), QuantTable(jpeg, 0) + QuantTable(jpeg, 1));
            at += 128;
          }
        }
        scan += payload.substr(at);
      }
      EXPECT_EQ(scan, ScanData(jpeg)) << "frame " << f;
    }
    // The pictures move.
    EXPECT_NE(Decode(simulator.MjpegFrame(0)).pixels, Decode(simulator.MjpegFrame(1)).pixels);
    simulator.Stop();
  }
}

}  // namespace
}  // namespace camsim_test
