// The H.264 channel against the camera simulator when the media is padded, duplicated, mixed with
// foreign datagrams or carried in 64 KiB datagrams: the host gets exactly the frames the camera
// sent, byte for byte.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "camsim/h264_clip.h"
#include "camsim/media_faults.h"
#include "session_fixture.h"
#include "udp_test_socket.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using testing::FrameRecorder;
using testing::SessionTest;
using tessavirn_test::WaitFor;
using Bytes = std::vector<std::uint8_t>;

void AppendAnnexB(const camsim::ClipUnit& unit, Bytes& out) {
  for (const std::string& nal : unit.nal_units) {
    out.insert(out.end(), {0x00, 0x00, 0x01});
    out.insert(out.end(), nal.begin(), nal.end());
  }
}

// What the host must get for the pictures the camera sent, in order: each picture in Annex B with
// the closing delimiter, a key frame with the parameter-set unit sent before it in front.
std::vector<Bytes> ExpectedFrames(const std::vector<camsim::SentFrame>& sent, const camsim::H264Clip& clip) {
  std::vector<Bytes> frames;
  Bytes parameter_sets;
  for (const camsim::SentFrame& frame : sent) {
    if (frame.session != sent.front().session) continue;
    const camsim::ClipUnit& unit = clip.units()[frame.clip_unit];
    if (unit.parameter_sets) {
      parameter_sets.clear();
      AppendAnnexB(unit, parameter_sets);
      continue;
    }
    Bytes expected = unit.idr ? parameter_sets : Bytes{};
    AppendAnnexB(unit, expected);
    expected.insert(expected.end(), {0x00, 0x00, 0x01, 0x09, 0x30});
    frames.push_back(std::move(expected));
  }
  return frames;
}

// The driver's RTP port, from the client_port of its SETUP request.
std::uint16_t ClientRtpPort(const std::vector<camsim::RtspRequestRecord>& log) {
  for (const auto& request : log) {
    const std::size_t at = request.text.find("client_port=");
    if (request.method == "SETUP" && at != std::string::npos) {
      return static_cast<std::uint16_t>(std::stoul(request.text.substr(at + 12)));
    }
  }
  return 0;
}

// Datagrams of other sources at the driver's RTP port: IDR-slice packets with the marker set (one
// taken would be a bogus key frame), padded ones, three SSRCs in turn, and sequence numbers that
// never run in order, so no source of them can take over the stream.
void InjectForeignDatagrams(const std::string& address, std::uint16_t port, int count) {
  test::UdpTestSocket socket(address);
  for (int i = 0; i < count; ++i) {
    const auto n = static_cast<std::uint16_t>(i * 2);
    Bytes packet = {0x80, 0xE0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n),
                    0x00, 0x01, 0x00, 0x00,                              // time stamp
                    0x0B, 0xAD, 0xF0, static_cast<std::uint8_t>(i % 3),  // SSRC
                    0x65, 0x88, 0x84, 0x21};                             // IDR slice
    if (i % 2 == 1) {
      packet[0] |= 0x20;
      packet.insert(packet.end(), {0x00, 0x00, 0x03});
    }
    socket.SendTo(port, packet);
    std::this_thread::sleep_for(1ms);
  }
}

struct HostileCase {
  const char* label;
  const char* address;
  std::vector<const char*> faults;  // camsim media fault texts
  bool inject_foreign = false;
  bool large_datagrams = false;  // the 8 Mbit/s clip, every NAL unit (up to 64962 bytes) in one datagram
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.label; }

class HostileMediaTest : public SessionTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileMediaTest, TheHostGetsExactlyTheFramesTheCameraSent) {
  const HostileCase& c = GetParam();
  camsim::RtspSettings rtsp;
  if (c.large_datagrams) {
    rtsp.clip_path = CAMSIM_CLIP_8M;
    rtsp.max_payload = 65000;
  }
  StartCamera(c.address, rtsp);
  for (const char* text : c.faults) {
    std::string error;
    const auto fault = camsim::ParseMediaFault(text, &error);
    ASSERT_TRUE(fault) << error;
    sim_.AddMediaFault(*fault);
  }
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  // The stream is locked onto the camera's source before anything foreign comes.
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 5; }, 15s)) << frames.count() << " frames";
  if (c.inject_foreign) {
    const std::uint16_t port = ClientRtpPort(sim_.RtspLog());
    ASSERT_NE(port, 0);
    InjectForeignDatagrams(c.address, port, 1500);
  }
  const std::size_t before = frames.count();
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= before + 50; }, 15s)) << frames.count() << " frames";
  ASSERT_TRUE(capture_->StopChannel(0));
  ASSERT_TRUE(WaitFor([&] { return sim_.RtspStats().sessions_torn_down == 1; }, 5s));

  camsim::H264Clip clip;
  std::string error;
  ASSERT_TRUE(clip.LoadFile(c.large_datagrams ? CAMSIM_CLIP_8M : CAMSIM_DEFAULT_CLIP, &error)) << error;
  const std::vector<Bytes> expected = ExpectedFrames(sim_.SentFrames(), clip);
  const auto received = frames.frames();
  ASSERT_LE(received.size(), expected.size());
  // Pictures still on their way when the channel stopped may be missing at the end; nothing else.
  EXPECT_GE(received.size() + 2, expected.size());
  for (std::size_t i = 0; i < received.size(); ++i) {
    ASSERT_EQ(received[i].data, expected[i]) << "frame " << i << " of " << received.size();
  }
  EXPECT_EQ(sim_.RtspStats().sessions_created, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileMediaTest,
    ::testing::Values(HostileCase{"padding on every packet", "127.0.0.163", {"pad:16"}},
                      HostileCase{"every third packet twice", "127.0.0.164", {"duplicate:3"}},
                      HostileCase{"padded duplicates", "127.0.0.165", {"pad:255", "duplicate:2"}},
                      HostileCase{"foreign datagrams at the RTP port", "127.0.0.166", {}, true},
                      HostileCase{"64 KiB datagrams", "127.0.0.167", {}, false, true}),
    [](const ::testing::TestParamInfo<HostileCase>& row) {
      std::string name;
      for (const char* p = row.param.label; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

}  // namespace
}  // namespace kalmora
