#include "camsim/media_source.h"

#include <algorithm>
#include <fstream>

namespace camsim {

std::string RtpHeader(bool marker, std::uint8_t payload_type, std::uint16_t sequence_number,
                      std::uint32_t time_stamp, std::uint32_t ssrc) {
  std::string header(kRtpHeaderSize, '\0');
  header[0] = static_cast<char>(0x80);
  header[1] = static_cast<char>((marker ? 0x80 : 0) | (payload_type & 0x7F));
  header[2] = static_cast<char>(sequence_number >> 8);
  header[3] = static_cast<char>(sequence_number);
  for (int i = 0; i < 4; ++i) {
    header[4 + i] = static_cast<char>(time_stamp >> (24 - 8 * i));
    header[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return header;
}

std::vector<std::string> SplitPayloads(const std::string& bytes, std::size_t max_payload) {
  max_payload = std::max<std::size_t>(max_payload, 1);
  std::vector<std::string> payloads;
  for (std::size_t offset = 0; offset < bytes.size(); offset += max_payload) {
    payloads.push_back(bytes.substr(offset, max_payload));
  }
  return payloads;
}

bool ReadClipFile(const std::string& path, std::string* bytes, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot open the clip " + path;
    return false;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  // A clip larger than this is no test clip; refusing it keeps a wrong path from eating memory.
  if (size < 0 || static_cast<std::size_t>(size) > kMaxClipBytes) {
    if (error) *error = "the clip " + path + " is unreadable or too large";
    return false;
  }
  file.seekg(0);
  bytes->assign(static_cast<std::size_t>(size), '\0');
  file.read(bytes->data(), size);
  if (!file) {
    if (error) *error = "cannot read the clip " + path;
    return false;
  }
  return true;
}

}  // namespace camsim
