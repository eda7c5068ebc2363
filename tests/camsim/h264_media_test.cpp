// The clip reader, the packetiser, RTCP, RTSP message parsing and media fault texts, without
// sockets.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "camsim/h264_clip.h"
#include "camsim/h264_packetizer.h"
#include "camsim/jpeg_picture.h"
#include "camsim/media_faults.h"
#include "camsim/rtcp.h"
#include "camsim/rtsp_message.h"

namespace camsim {
namespace {

const std::string kStart4("\0\0\0\1", 4);
const std::string kStart3("\0\0\1", 3);

// NAL units with a recognisable body; slices carry first_mb_in_slice 0 (first bit 1) or not.
std::string Nal(std::uint8_t header, std::string body) { return std::string(1, char(header)) + body; }
const std::string kSps = Nal(0x67, "\x64\x00\x1E sps");
const std::string kPps = Nal(0x68, "\xEF pps");
const std::string kSei = Nal(0x06, "\x05 sei");
const std::string kAud = Nal(0x09, "\xF0");
std::string Idr(char tag, bool first) { return Nal(0x65, std::string(1, first ? '\x88' : '\x48') + tag); }
std::string Slice(char tag, bool first) { return Nal(0x41, std::string(1, first ? '\x9A' : '\x1A') + tag); }

std::string AnnexB(const std::vector<std::string>& nal_units) {
  std::string stream;
  for (std::size_t i = 0; i < nal_units.size(); ++i) {
    stream += (i % 2 == 0 ? kStart4 : kStart3) + nal_units[i];
  }
  return stream;
}

std::string TempFile(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(H264ClipTest, SplitsStartCodesOfBothLengthsAndDropsTrailingZeros) {
  const std::string stream = "junk" + kStart4 + "\x67" "ab" + std::string(2, '\0') + kStart3 +
                             "\x68" "cd" + kStart3 + "\x65" "e";
  EXPECT_EQ(SplitAnnexB(stream), (std::vector<std::string>{"\x67" "ab", "\x68" "cd", "\x65" "e"}));
}

TEST(H264ClipTest, GroupsNalUnitsIntoTheCamerasAccessUnits) {
  // AUD, SPS, PPS, SEI, a two-slice IDR; a P picture after an AUD; a P picture without AUD
  // (a slice with first_mb_in_slice 0 starts it); an IDR without parameter sets of its own.
  const std::string stream = AnnexB({kAud, kSps, kPps, kSei, Idr('a', true), Idr('b', false),
                                     kAud, Slice('c', true), Slice('d', false), Slice('e', true),
                                     Idr('f', true)});
  H264Clip clip;
  std::string error;
  ASSERT_TRUE(clip.Parse(stream, &error)) << error;
  const std::vector<ClipUnit>& units = clip.units();
  ASSERT_EQ(units.size(), 6u);
  EXPECT_TRUE(units[0].parameter_sets);
  EXPECT_EQ(units[0].nal_units, (std::vector<std::string>{kSps, kPps, kSei}));
  EXPECT_TRUE(units[1].idr);
  EXPECT_EQ(units[1].nal_units, (std::vector<std::string>{Idr('a', true), Idr('b', false)}));
  EXPECT_EQ(units[2].nal_units, (std::vector<std::string>{Slice('c', true), Slice('d', false)}));
  EXPECT_FALSE(units[2].idr || units[2].parameter_sets);
  EXPECT_EQ(units[3].nal_units, std::vector<std::string>{Slice('e', true)});
  EXPECT_TRUE(units[4].parameter_sets);
  EXPECT_EQ(units[4].nal_units, (std::vector<std::string>{kSps, kPps}));
  EXPECT_EQ(units[5].nal_units, std::vector<std::string>{Idr('f', true)});
  EXPECT_EQ(clip.picture_count(), 4u);
  EXPECT_EQ(clip.sps(), kSps);
  EXPECT_EQ(units[1].AnnexBLength(), 2 * 3 + Idr('a', true).size() + Idr('b', false).size());
}

TEST(H264ClipTest, RefusesWhatIsNoUsableH264Stream) {
  H264Clip clip;
  std::string error;
  EXPECT_FALSE(clip.LoadFile("/nonexistent/clip.h264", &error));
  EXPECT_NE(error.find("/nonexistent/clip.h264"), std::string::npos);
  const std::string jpeg = TempFile("camsim_not_h264.jpg", EncodeTestPicture(64, 48, 75));
  EXPECT_FALSE(clip.LoadFile(jpeg, &error));
  EXPECT_NE(error.find("not an H.264"), std::string::npos) << error;
  EXPECT_FALSE(clip.LoadFile(TempFile("camsim_empty.h264", ""), &error));
  EXPECT_FALSE(clip.Parse(AnnexB({kSps, kPps}), &error));
  EXPECT_NE(error.find("no coded picture"), std::string::npos) << error;
  EXPECT_FALSE(clip.Parse(AnnexB({Slice('a', true), kSps, kPps, Idr('b', true)}), &error));
  EXPECT_FALSE(clip.Parse(AnnexB({kSps, kPps, Nal(0xE5, "x")}), &error));  // forbidden bit
}

TEST(H264ClipTest, BuiltClipsHaveTheirGopStructure) {
  for (const auto& [path, pictures, min_bits, max_bits] :
       {std::tuple{CAMSIM_DEFAULT_CLIP, 100u, 0.75e6, 3e6},
        std::tuple{CAMSIM_CLIP_8M, 75u, 4e6, 12e6}}) {
    H264Clip clip;
    std::string error;
    ASSERT_TRUE(clip.LoadFile(path, &error)) << error;
    EXPECT_EQ(clip.picture_count(), pictures) << path;
    std::size_t bytes = 0;
    std::size_t pictures_seen = 0;
    for (std::size_t i = 0; i < clip.units().size(); ++i) {
      const ClipUnit& unit = clip.units()[i];
      bytes += unit.AnnexBLength();
      for (const std::string& nal : unit.nal_units) {
        EXPECT_NE(NalTypeOf(nal), kNalAccessUnitDelimiter);
      }
      if (unit.parameter_sets) {
        ASSERT_LT(i + 1, clip.units().size());
        EXPECT_TRUE(clip.units()[i + 1].idr) << i;
        continue;
      }
      // GOP 25: an IDR picture every 25 pictures and none between.
      EXPECT_EQ(unit.idr, pictures_seen % 25 == 0) << path << " picture " << pictures_seen;
      if (unit.idr) {
        EXPECT_TRUE(clip.units()[i - 1].parameter_sets);
      }
      ++pictures_seen;
    }
    const double bits_per_second = bytes * 8.0 * H264Clip::kFrameRate / pictures;
    EXPECT_GT(bits_per_second, min_bits) << path;
    EXPECT_LT(bits_per_second, max_bits) << path;
  }
}

TEST(H264ClipTest, FfprobeCountsTheSamePictures) {
  const std::string command = std::string("ffprobe -v error -count_frames -select_streams v:0 "
                                          "-show_entries stream=nb_read_frames,width,height "
                                          "-of csv=p=0 ") + CAMSIM_DEFAULT_CLIP;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  const bool read = std::fgets(line, sizeof(line), pipe) != nullptr;
  ::pclose(pipe);
  ASSERT_TRUE(read);
  H264Clip clip;
  ASSERT_TRUE(clip.LoadFile(CAMSIM_DEFAULT_CLIP, nullptr));
  EXPECT_EQ(std::string(line), "640,480," + std::to_string(clip.picture_count()) + "\n");
}

TEST(H264PacketizerTest, SingleUnitsFuAFragmentsAndStapA) {
  std::string large(3000, '\0');
  large[0] = char(0x65);
  for (std::size_t i = 1; i < large.size(); ++i) large[i] = char(i * 7);
  ClipUnit picture;
  picture.nal_units = {large, std::string(1000, char(0x41))};
  const std::vector<std::string> payloads = PacketizeUnit(picture, 1000, false);
  // 2999 bytes after the NAL header in fragments of 998, then the 1000-byte unit whole.
  ASSERT_EQ(payloads.size(), 5u);
  std::string rebuilt(1, char((payloads[0][0] & 0xE0) | (payloads[0][1] & 0x1F)));
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(payloads[i][0]), 0x60 | kFuAType);  // NRI of 0x65 kept
    const auto header = static_cast<std::uint8_t>(payloads[i][1]);
    EXPECT_EQ((header & 0x80) != 0, i == 0);
    EXPECT_EQ((header & 0x40) != 0, i == 3);
    EXPECT_EQ(header & 0x1F, 5);
    EXPECT_LE(payloads[i].size(), 1000u);
    rebuilt += payloads[i].substr(2);
  }
  EXPECT_EQ(rebuilt, large);
  EXPECT_EQ(payloads[4], picture.nal_units[1]);

  ClipUnit header;
  header.parameter_sets = true;
  header.nal_units = {kSps, kPps};
  const std::vector<std::string> stap = PacketizeUnit(header, 1400, true);
  ASSERT_EQ(stap.size(), 1u);
  const std::string expected = std::string(1, char(0x60 | kStapAType)) + char(0) +
                               char(kSps.size()) + kSps + char(0) + char(kPps.size()) + kPps;
  EXPECT_EQ(stap[0], expected);
  // Too large for one packet, or not asked for: one packet per NAL unit.
  EXPECT_EQ(PacketizeUnit(header, 12, true).size(), 2u);
  EXPECT_EQ(PacketizeUnit(header, 1400, false), header.nal_units);
}

TEST(H264PacketizerTest, RtpHeaderBytes) {
  EXPECT_EQ(RtpHeader(true, 96, 0xABCD, 0x01020304, 0xDEADBEEF),
            std::string("\x80\xE0\xAB\xCD\x01\x02\x03\x04\xDE\xAD\xBE\xEF", 12));
  EXPECT_EQ(RtpHeader(false, 96, 1, 0, 0).substr(0, 4), std::string("\x80\x60\x00\x01", 4));
}

TEST(RtcpTest, SenderReportLayout) {
  const auto epoch = std::chrono::system_clock::time_point{} + std::chrono::milliseconds(1500);
  EXPECT_EQ(NtpTime(epoch), (std::uint64_t{2208988801u} << 32) | 0x80000000u);
  SenderReportFields fields{0x11223344, 0x0102030405060708ull, 0xA0B0C0D0, 7, 9000};
  const std::string report = SenderReport(fields, "cam");
  const std::string expected_sr("\x80\xC8\x00\x06\x11\x22\x33\x44\x01\x02\x03\x04\x05\x06\x07\x08"
                                "\xA0\xB0\xC0\xD0\x00\x00\x00\x07\x00\x00\x23\x28", 28);
  EXPECT_EQ(report.substr(0, 28), expected_sr);
  // SDES: header, SSRC, CNAME "cam", end of list, padded to 32 bits.
  EXPECT_EQ(report.substr(28), std::string("\x81\xCA\x00\x03\x11\x22\x33\x44\x01\x03" "cam\0\0\0", 16));
  EXPECT_TRUE(IsReceiverReport(std::string("\x81\xC9\x00\x07\x00\x00\x00\x01", 8)));
  EXPECT_FALSE(IsReceiverReport(report));
  EXPECT_FALSE(IsReceiverReport(std::string("\x41\xC9\x00\x07\x00\x00\x00\x01", 8)));
  EXPECT_FALSE(IsReceiverReport(std::string("\x81\xC9\x00", 3)));
}

TEST(RtspMessageTest, TakesPipelinedRequestsAndWaitsForTheirBodies) {
  std::string buffer =
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n"
      "SET_PARAMETER rtsp://a/ RTSP/1.0\r\nCSeq: 2\r\nContent-Length: 5\r\n\r\nab";
  RtspRequest request;
  ASSERT_EQ(TakeRtspRequest(buffer, request), RtspParse::kComplete);
  EXPECT_EQ(request.method, "OPTIONS");
  EXPECT_EQ(request.url, "*");
  EXPECT_EQ(request.CSeq(), 1u);
  EXPECT_EQ(request.text, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(TakeRtspRequest(buffer, request), RtspParse::kIncomplete);
  buffer += "cde";
  ASSERT_EQ(TakeRtspRequest(buffer, request), RtspParse::kComplete);
  EXPECT_EQ(request.body, "abcde");
  EXPECT_EQ(request.Header("content-length"), "5");
  EXPECT_EQ(buffer, "");
  buffer = "NOSPACES\r\n\r\n";
  EXPECT_EQ(TakeRtspRequest(buffer, request), RtspParse::kMalformed);
  buffer = "GET x RTSP/1.0\r\nContent-Length: nine\r\n\r\n";
  EXPECT_EQ(TakeRtspRequest(buffer, request), RtspParse::kMalformed);
  buffer = "GET x RTSP/1.0\r\n" + std::string(kMaxRtspRequest, 'a');
  EXPECT_EQ(TakeRtspRequest(buffer, request), RtspParse::kMalformed);
}

TEST(RtspMessageTest, StreamUrlsAndBase64) {
  const std::optional<StreamUrl> track =
      ParseStreamUrl("rtsp://10.0.0.5:554/VideoInput/3/mjpeg/1/trackID=1");
  ASSERT_TRUE(track);
  EXPECT_EQ(track->input, 3u);
  EXPECT_EQ(track->stream, "mjpeg");
  EXPECT_EQ(track->host, "10.0.0.5:554");
  EXPECT_TRUE(track->track);
  EXPECT_FALSE(ParseStreamUrl("rtsp://h/VideoInput/1/h264/1")->track);
  EXPECT_FALSE(ParseStreamUrl("rtsp://h/VideoInput/1/h264/2"));
  EXPECT_FALSE(ParseStreamUrl("rtsp://h/VideoInput/x/h264/1"));
  EXPECT_FALSE(ParseStreamUrl("rtsp://h/VideoInput/1/h264/1/trackID=2"));
  EXPECT_FALSE(ParseStreamUrl("http://h/VideoInput/1/h264/1"));
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
}

TEST(MediaFaultTest, TextFormsRoundTripAndBadOnesAreRefused) {
  for (const char* text : {"loss:5%:42", "loss:every:10", "reorder:7", "duplicate:3",
                           "media-stall:500", "restart:2000", "rtsp-stall:DESCRIBE:300:2",
                           "rtsp-stall:*:100", "pad:1", "pad:255", "drop-packet:3:0",
                           "drop-packet:0:last"}) {
    std::string error;
    const std::optional<MediaFault> fault = ParseMediaFault(text, &error);
    ASSERT_TRUE(fault) << text << ": " << error;
    EXPECT_EQ(FormatMediaFault(*fault), text);
    EXPECT_TRUE(IsMediaFaultText(text));
  }
  EXPECT_EQ(ParseMediaFault("loss:5%", nullptr)->seed, 1u);
  for (const char* text : {"loss", "loss:5", "loss:101%", "loss:every:0", "reorder:", "reorder:x",
                           "duplicate:1:2", "media-stall:-5", "restart", "rtsp-stall:PLAY",
                           "rtsp-stall::100", "rtsp-stall:PLAY:100:0", "burst:3", "pad", "pad:0",
                           "pad:256", "pad:4:1", "drop-packet:1", "drop-packet:-1:0",
                           "drop-packet:1:first", "drop-packet:1:2:3"}) {
    EXPECT_FALSE(ParseMediaFault(text, nullptr)) << text;
  }
  EXPECT_FALSE(IsMediaFaultText("delay:params/*:500"));
}

TEST(MediaFaultTest, PacketFilterCountsAndSeeds) {
  PacketFaultFilter every;
  const std::vector<MediaFault> loss = {*ParseMediaFault("loss:every:4", nullptr),
                                        *ParseMediaFault("duplicate:3", nullptr)};
  std::vector<int> dropped;
  std::vector<int> duplicated;
  for (int n = 1; n <= 12; ++n) {
    const PacketFate fate = every.Next(loss, {});
    if (fate.drop) dropped.push_back(n);
    if (fate.duplicate) duplicated.push_back(n);
  }
  EXPECT_EQ(dropped, (std::vector<int>{4, 8, 12}));
  EXPECT_EQ(duplicated, (std::vector<int>{3, 6, 9, 12}));

  // Padding cycles 1 .. N octets over the packets, beside the other faults.
  PacketFaultFilter padded;
  const std::vector<MediaFault> pad = {*ParseMediaFault("pad:3", nullptr), *ParseMediaFault("duplicate:2", nullptr)};
  std::vector<int> octets;
  for (int n = 1; n <= 7; ++n) octets.push_back(padded.Next(pad, {}).padding);
  EXPECT_EQ(octets, (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));

  auto draws = [](const char* text) {
    PacketFaultFilter filter;
    const std::vector<MediaFault> faults = {*ParseMediaFault(text, nullptr)};
    std::vector<bool> fates;
    for (int n = 0; n < 1000; ++n) fates.push_back(filter.Next(faults, {}).drop);
    return fates;
  };
  EXPECT_EQ(draws("loss:20%:9"), draws("loss:20%:9"));
  EXPECT_NE(draws("loss:20%:9"), draws("loss:20%:10"));
  const std::vector<bool> twenty = draws("loss:20%:9");
  const auto lost = std::count(twenty.begin(), twenty.end(), true);
  EXPECT_GT(lost, 150);
  EXPECT_LT(lost, 250);
  const std::vector<bool> none = draws("loss:0%");
  EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
  const std::vector<bool> all = draws("loss:100%");
  EXPECT_EQ(std::count(all.begin(), all.end(), true), 1000);
}

TEST(MediaFaultTest, ReplyStallsAreCountedPerMethod) {
  MediaFaultSet faults;
  faults.Add(*ParseMediaFault("rtsp-stall:SETUP:300:2", nullptr));
  faults.Add(*ParseMediaFault("rtsp-stall:*:100", nullptr));
  EXPECT_EQ(faults.TakeReplyStall("DESCRIBE"), 100);
  EXPECT_EQ(faults.TakeReplyStall("SETUP"), 300);
  EXPECT_EQ(faults.TakeReplyStall("SETUP"), 300);
  EXPECT_EQ(faults.TakeReplyStall("SETUP"), 100);
  EXPECT_EQ(faults.List().size(), 1u);
  // A stall is not kept in the list; it runs from when it was added.
  faults.Add(*ParseMediaFault("media-stall:60000", nullptr));
  EXPECT_GT(faults.StallUntil(), std::chrono::steady_clock::now());
  EXPECT_EQ(faults.List().size(), 1u);
  faults.Clear();
  EXPECT_LT(faults.StallUntil(), std::chrono::steady_clock::now());
  EXPECT_EQ(faults.TakeReplyStall("SETUP"), 0);
}

}  // namespace
}  // namespace camsim
