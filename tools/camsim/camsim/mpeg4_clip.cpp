#include "camsim/mpeg4_clip.h"

#include <optional>

#include "camsim/media_source.h"

namespace camsim {
namespace {

// Start code values (ISO/IEC 14496-2 table 6-3).
constexpr std::uint8_t kSequenceStart = 0xB0;
constexpr std::uint8_t kSequenceEnd = 0xB1;
constexpr std::uint8_t kGovStart = 0xB3;
constexpr std::uint8_t kVopStart = 0xB6;
constexpr std::size_t kStartCodeSize = 4;
// vop_coding_type: the top two bits of the byte after the VOP start code; 00 is intra.
constexpr unsigned kCodingTypeShift = 6;

struct StartCode {
  std::size_t offset = 0;
  std::uint8_t value = 0;
};

std::vector<StartCode> FindStartCodes(std::string_view stream) {
  std::vector<StartCode> codes;
  for (std::size_t i = 0; i + kStartCodeSize <= stream.size(); ++i) {
    if (stream[i] == '\0' && stream[i + 1] == '\0' && stream[i + 2] == '\1') {
      codes.push_back({i, static_cast<std::uint8_t>(stream[i + 3])});
      i += kStartCodeSize - 1;
    }
  }
  return codes;
}

}  // namespace

bool Mpeg4Clip::LoadFile(const std::string& path, std::string* error) {
  std::string bytes;
  if (!ReadClipFile(path, &bytes, error)) return false;
  std::string why;
  if (!Parse(bytes, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  path_ = path;
  return true;
}

bool Mpeg4Clip::Parse(std::string_view stream, std::string* error) {
  auto fail = [this, error](const char* what) {
    *this = Mpeg4Clip();
    if (error) *error = what;
    return false;
  };
  *this = Mpeg4Clip();
  const std::vector<StartCode> codes = FindStartCodes(stream);
  if (codes.empty() || codes[0].offset != 0 || codes[0].value != kSequenceStart) {
    return fail("not an MPEG-4 visual stream (no visual object sequence start code first)");
  }
  // The bytes since the last boundary are a picture (from its GOV or VOP start code) or a
  // configuration header; finish ends whichever it is at a boundary.
  std::optional<std::size_t> picture_begin;
  std::optional<std::size_t> header_begin = 0;
  bool picture_has_vop = false;
  std::string_view first_config;
  auto finish = [&](std::size_t end) -> bool {
    if (picture_begin) {
      const std::string_view bytes = stream.substr(*picture_begin, end - *picture_begin);
      if (!picture_has_vop) return false;  // a GOV without a picture
      const std::size_t vop = bytes.find(std::string_view("\0\0\1\xB6", kStartCodeSize));
      Mpeg4ClipPicture picture;
      picture.bytes = std::string(bytes);
      const std::size_t type_at = vop + kStartCodeSize;
      picture.intra = vop != std::string_view::npos && type_at < bytes.size() &&
                      (static_cast<unsigned char>(bytes[type_at]) >> kCodingTypeShift) == 0;
      pictures_.push_back(std::move(picture));
    }
    if (header_begin) {
      const std::string_view header = stream.substr(*header_begin, end - *header_begin);
      if (first_config.empty()) {
        first_config = header;
      } else if (header != first_config) {
        return false;
      }
    }
    picture_begin.reset();
    header_begin.reset();
    picture_has_vop = false;
    return true;
  };
  for (std::size_t i = 1; i < codes.size(); ++i) {
    const StartCode code = codes[i];
    bool ok = true;
    if (code.value == kSequenceStart) {
      ok = finish(code.offset);
      header_begin = code.offset;
    } else if (code.value == kSequenceEnd) {
      ok = finish(code.offset);
    } else if (code.value == kGovStart) {
      ok = finish(code.offset);
      picture_begin = code.offset;
    } else if (code.value == kVopStart) {
      if (!picture_begin || picture_has_vop) {
        ok = finish(code.offset);
        picture_begin = code.offset;
      }
      picture_has_vop = true;
    }
    if (!ok) return fail("a GOV without a picture, or a configuration header that changes");
  }
  if (!finish(stream.size())) {
    return fail("a GOV without a picture, or a configuration header that changes");
  }
  config_ = std::string(first_config);
  if (pictures_.empty()) return fail("the stream holds no picture");
  if (!pictures_.front().intra) return fail("the stream does not begin with an intra picture");
  return true;
}

}  // namespace camsim
