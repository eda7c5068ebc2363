#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device_config.h"

namespace tessavirn_host {

struct RecordOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
  // The cameras: each gets a driver object of its own, opened with device and its address.
  // Empty: device.address alone.
  std::vector<std::string> addresses;
  std::vector<std::uint32_t> channels = {0};  // recorded on every camera
  std::uint16_t width = 640;
  std::uint16_t height = 480;
  std::uint16_t interval_ms = 40;
  std::uint16_t quality = 60;
  std::string out_path;        // empty: DefaultRecordPath(device.stream_type)
  std::string frame_log_path;  // empty: no frame log
  std::string jpeg_dir;        // empty: JPEG pictures go to the output file; else numbered files there
  std::uint32_t seconds = 10;  // 0: until stopped
  bool quiet = false;          // no progress line
};

// The driver keeps channels 0 to 15 of a camera.
inline constexpr std::uint32_t kChannelsPerCamera = 16;
// One recording takes at most this many channels over all its cameras: each needs a UDP port
// pair of the driver's 500.
inline constexpr std::size_t kMaxRecordedChannels = 256;

// A channel list: "N", "N-M" or such items separated by commas ("0-3", "0,2", "1,4-6"), in the
// order given, each channel below kChannelsPerCamera. Nullopt with error for an empty item, a
// number that is malformed or out of range, a range running backwards or a channel listed twice.
std::optional<std::vector<std::uint32_t>> ParseChannelList(std::string_view text, std::string& error);

// The file of one channel of a recording that has several: path with "-ADDRESS-chN" inserted
// before the extension of its last component ("rec.h264" -> "rec-10.0.0.5-ch2.h264", "rec" ->
// "rec-10.0.0.5-ch2"; a leading dot starts no extension; trailing slashes are dropped, so a
// folder "pics/" becomes "pics-10.0.0.5-ch2"). "/dev/null" stays as it is. In the address,
// anything but letters, digits, '.', '-' and '_' becomes '_'.
std::string ChannelFilePath(const std::string& path, const std::string& address, std::uint32_t channel);

// Gives the custom parameters the driver requires a working value where the user gave none:
// 1 network timeout "5000" ms, 2 video standard "0" (PAL), 6 "0" (Motion-JPEG over RTSP, not
// HTTP), 8 "0" PTZ channels. Given values are kept as they are, even malformed ones.
void FillDefaultCustomParameters(DeviceConfig& config);

// Gives every missing index between 1 and the highest given one an empty text: the driver reads
// custom parameters from 1 upward and stops at the first missing index, so a parameter beyond a
// gap (the digital I/O modes 11 to 13, for one) would never reach it.
void FillCustomParameterGaps(DeviceConfig& config);

// The configuration handed to the driver by the io and ptz commands: the defaults above, then
// the gaps filled, so that the driver reads the parameters past the required ones.
DeviceConfig PrepareDevice(const DeviceConfig& given);

// A whole decimal number, optionally signed, and nothing else; nullopt otherwise.
std::optional<long long> ParseDecimal(std::string_view text);

// "WxH" with both from 1 to 65535; empty for anything else.
std::optional<std::pair<std::uint16_t, std::uint16_t>> ParsePictureSize(const std::string& text);

// record.h264 for H.264, record.mjpeg (concatenated JPEG pictures) for Motion-JPEG, record.m4v
// (elementary stream) for MPEG-4, record.bin for another stream type.
std::string DefaultRecordPath(std::int32_t stream_type);

}  // namespace tessavirn_host
