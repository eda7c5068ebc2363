#include "xml/text_conversion.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kalmora {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes the code point that starts at text[pos] and advances pos past it; nothing for any
// malformed sequence (RFC 3629 section 4: the shortest form only, no surrogates).
std::optional<char32_t> DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  // The lead byte gives the sequence length and the smallest value that needs that length.
  std::size_t length = 4;
  char32_t c = lead & 0x07;
  char32_t min = 0x10000;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
    min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
    min = 0x800;
  } else if ((lead & 0xF8) != 0xF0) {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < min || c > kMaxCodePoint || IsSurrogate(c)) return std::nullopt;
  pos += length;
  return c;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto c = DecodeUtf8(text, pos);
    if (!c) return {};
    if (*c < 0x10000) {
      out.push_back(static_cast<char16_t>(*c));
    } else {
      const char32_t v = *c - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return {};
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return {};
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool IsValidPresetName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t pos = 0; pos < name.size();) {
    const auto c = DecodeUtf8(name, pos);
    if (!c || *c <= 0x1F || (*c >= 0x7F && *c <= 0x9F)) return false;
  }
  return true;
}

}  // namespace kalmora
