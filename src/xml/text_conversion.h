// UTF-8 <-> UTF-16 for the texts of the preset file, and the test a preset name must pass before
// it is stored.
#pragma once

#include <string>
#include <string_view>

namespace kalmora {

// Both return an empty text when the input is malformed: for UTF-8 an overlong form, an encoded
// surrogate, a value above U+10FFFF, a stray or missing continuation byte; for UTF-16 a lone
// surrogate. A malformed text is never half converted.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// A name for a preset: well-formed UTF-8, not empty, and free of the control characters
// U+0000-U+001F and U+007F-U+009F (they would not survive the file, or would break a host's list).
bool IsValidPresetName(std::string_view name);

}  // namespace kalmora
