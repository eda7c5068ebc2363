#include "ptz/ptz_capabilities.h"

#include <array>
#include <cstdint>
#include <limits>

#include "camera/parameter_reply.h"
#include "camera/value_functions.h"

namespace kalmora {
namespace {

constexpr std::string_view kListPrefix = "Data-1.Ptz-1";

// Digits at the start of text, within 0..INT32_MAX; the text after them is left in text.
bool TakeNumber(std::string_view& text, std::uint32_t& value) {
  std::size_t digits = 0;
  std::uint64_t number = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    number = number * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    ++digits;
  }
  if (digits == 0) return false;
  value = static_cast<std::uint32_t>(number);
  text.remove_prefix(digits);
  return true;
}

bool TakeText(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

// The maximum of a symmetric range -m..m of key, or 0.
std::uint32_t SymmetricMaximum(const COrvaneResponseParser& reply, std::string_view axis) {
  int minimum = 0;
  int maximum = 0;
  if (!reply.GetRange(std::string(kListPrefix) + "." + std::string(axis), minimum, maximum)) return 0;
  // In 64 bits: -INT_MIN does not fit an int.
  if (minimum >= 0 || maximum <= 0 || static_cast<std::int64_t>(maximum) != -static_cast<std::int64_t>(minimum)) {
    return 0;
  }
  return static_cast<std::uint32_t>(maximum);
}

bool IsReservedSlot(std::uint32_t slot) {
  return slot == 0 || slot == 33 || slot == 34 || (slot >= 70 && slot <= 83) || slot == 95 || slot == 96 ||
         slot == 198;
}

}  // namespace

std::string COrvanePtzCapabilities::Format() const {
  return FormatText("F:%u; T:%u; P:%u; Z:%u; I:%u; Pr:%u-%u; AF:%u; AI:%u", focus_max, tilt_max, pan_max, zoom_max,
                    iris_max, first_preset_slot, last_preset_slot, has_auto_focus ? 1u : 0u, has_auto_iris ? 1u : 0u);
}

bool COrvanePtzCapabilities::Parse(std::string_view text) {
  std::uint32_t auto_focus = 0;
  std::uint32_t auto_iris = 0;
  const std::array<std::pair<std::string_view, std::uint32_t*>, 9> fields = {{
      {"F:", &focus_max},
      {"; T:", &tilt_max},
      {"; P:", &pan_max},
      {"; Z:", &zoom_max},
      {"; I:", &iris_max},
      {"; Pr:", &first_preset_slot},
      {"-", &last_preset_slot},
      {"; AF:", &auto_focus},
      {"; AI:", &auto_iris},
  }};
  for (const auto& [separator, field] : fields) {
    if (!TakeText(text, separator) || !TakeNumber(text, *field)) return false;
  }
  if (!text.empty()) return false;
  has_auto_focus = auto_focus == 1;
  has_auto_iris = auto_iris == 1;
  return true;
}

bool COrvanePtzCapabilities::ParseListResponse(std::string_view response) {
  if (response.empty()) return false;
  const COrvaneResponseParser reply(response);
  const std::string prefix(kListPrefix);
  COrvanePtzCapabilities read;
  read.has_auto_focus = reply.HasKey(prefix + ".AutoFocus");
  read.has_auto_iris = reply.HasKey(prefix + ".AutoIris");
  read.focus_max = SymmetricMaximum(reply, "Focus");
  read.iris_max = SymmetricMaximum(reply, "Iris");
  read.pan_max = SymmetricMaximum(reply, "Pan");
  read.tilt_max = SymmetricMaximum(reply, "Tilt");
  read.zoom_max = SymmetricMaximum(reply, "Zoom");
  int first = 0;
  int last = 0;
  const bool axes = read.focus_max != 0 && read.iris_max != 0 && read.pan_max != 0 && read.tilt_max != 0 &&
                    read.zoom_max != 0;
  if (axes && reply.GetRange(prefix + ".GoPreset", first, last) && first < last) {
    read.first_preset_slot = static_cast<std::uint32_t>(first);
    read.last_preset_slot = static_cast<std::uint32_t>(last);
    *this = read;
    return true;
  }
  *this = COrvanePtzCapabilities();
  return false;
}

std::vector<std::uint32_t> BuildPresetSlotTable(DeviceKind kind, std::uint32_t first, std::uint32_t last) {
  std::vector<std::uint32_t> slots;
  // In 64 bits, so that a last slot of 4294967295 ends the loop.
  for (std::uint64_t n = first; n <= last && slots.size() < kMaxPresetSlots; ++n) {
    const auto slot = static_cast<std::uint32_t>(n);
    if (kind == kDeviceKindPtzCamera) {
      if (slot > 245) break;
      if (IsReservedSlot(slot)) continue;
    }
    slots.push_back(slot);
  }
  return slots;
}

}  // namespace kalmora
