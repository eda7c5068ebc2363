#include "camsim/media_faults.h"

#include <algorithm>
#include <array>
#include <utility>

#include "camsim/faults.h"

namespace camsim {
namespace {

constexpr std::array<std::pair<MediaFaultKind, std::string_view>, 8> kKindNames = {{
    {MediaFaultKind::kLoss, "loss"},
    {MediaFaultKind::kReorder, "reorder"},
    {MediaFaultKind::kDuplicate, "duplicate"},
    {MediaFaultKind::kStall, "media-stall"},
    {MediaFaultKind::kRestart, "restart"},
    {MediaFaultKind::kReplyStall, "rtsp-stall"},
    {MediaFaultKind::kPad, "pad"},
    {MediaFaultKind::kDropPacket, "drop-packet"},
}};
constexpr int kPercentScale = 100;
// The padding count is one octet.
constexpr int kMaxPadding = 255;

std::optional<MediaFaultKind> ParseKind(std::string_view name) {
  for (const auto& [kind, kind_name] : kKindNames) {
    if (kind_name == name) return kind;
  }
  return std::nullopt;
}

}  // namespace

const char* const kMediaFaultHelp =
    "Media faults (RTSP and RTP):\n"
    "  loss:P%[:SEED]          drop P percent of each session's packets, drawn from SEED\n"
    "                          (default 1), the same packets every run\n"
    "  loss:every:N            drop every Nth packet of each session\n"
    "  reorder:N               send every Nth packet after the packet that follows it\n"
    "  duplicate:N             send every Nth packet twice\n"
    "  pad:N                   pad every packet with RTP padding of 1, 2, ... N octets (N up to\n"
    "                          255), then 1 again\n"
    "  drop-packet:F:K         drop packet K (from 0) of frame F (from 0, header units\n"
    "                          counted) of each session\n"
    "  drop-packet:F:last      drop the last packet of frame F, the one with the marker bit\n"
    "  media-stall:MS          every session sends nothing for MS ms, then goes on\n"
    "  restart:MS              the camera restarts: RTSP sessions and connections drop, RTSP\n"
    "                          connections are refused and HTTP answers 503 for MS ms\n"
    "  rtsp-stall:METHOD:MS[:COUNT]  hold the reply to METHOD (or *) for MS ms, for COUNT\n"
    "                          replies (default every one)\n"
    "Example: loss:5%:42";

std::string_view MediaFaultKindName(MediaFaultKind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "?";
}

bool IsMediaFaultText(std::string_view text) {
  return ParseKind(text.substr(0, text.find(':'))).has_value();
}

std::optional<MediaFault> ParseMediaFault(std::string_view text, std::string* error) {
  auto fail = [error](std::string what) -> std::optional<MediaFault> {
    if (error) *error = std::move(what);
    return std::nullopt;
  };
  const std::vector<std::string_view> fields = SplitFaultFields(text);
  const std::optional<MediaFaultKind> kind = ParseKind(fields[0]);
  if (!kind) return fail("unknown media fault kind '" + std::string(fields[0]) + "'");
  auto positive = [&](std::size_t index, std::int64_t limit) -> std::optional<int> {
    if (index >= fields.size()) return std::nullopt;
    const std::optional<std::int64_t> value = ParseFaultNumber(fields[index]);
    if (!value || *value < 1 || *value > limit) return std::nullopt;
    return static_cast<int>(*value);
  };
  constexpr std::int64_t kMaxCount = 1'000'000'000;
  MediaFault fault;
  fault.kind = *kind;
  switch (fault.kind) {
    case MediaFaultKind::kLoss: {
      if (fields.size() == 3 && fields[1] == "every") {
        const std::optional<int> every = positive(2, kMaxCount);
        if (!every) return fail("loss:every:N needs a positive N");
        fault.every = *every;
        break;
      }
      if (fields.size() < 2 || fields.size() > 3 || !fields[1].ends_with('%')) {
        return fail("loss is loss:P%[:SEED] or loss:every:N");
      }
      const std::optional<std::int64_t> percent =
          ParseFaultNumber(fields[1].substr(0, fields[1].size() - 1));
      if (!percent || *percent < 0 || *percent > kPercentScale) {
        return fail("the loss percentage runs from 0 to 100");
      }
      fault.percent = static_cast<int>(*percent);
      if (fields.size() == 3) {
        const std::optional<std::int64_t> seed = ParseFaultNumber(fields[2]);
        if (!seed || *seed < 0 || *seed > 0xFFFFFFFFll) return fail("the seed is a 32-bit number");
        fault.seed = static_cast<std::uint32_t>(*seed);
      }
      break;
    }
    case MediaFaultKind::kReorder:
    case MediaFaultKind::kDuplicate: {
      const std::optional<int> every = positive(1, kMaxCount);
      if (fields.size() != 2 || !every) {
        return fail(std::string(fields[0]) + " needs N, a positive packet count");
      }
      fault.every = *every;
      break;
    }
    case MediaFaultKind::kPad: {
      const std::optional<int> octets = positive(1, kMaxPadding);
      if (fields.size() != 2 || !octets) return fail("pad needs N, from 1 to 255 octets");
      fault.octets = *octets;
      break;
    }
    case MediaFaultKind::kDropPacket: {
      constexpr const char* kForm =
          "drop-packet is drop-packet:FRAME:PACKET or drop-packet:FRAME:last";
      if (fields.size() != 3) return fail(kForm);
      const std::optional<std::int64_t> frame = ParseFaultNumber(fields[1]);
      if (!frame || *frame < 0) return fail(kForm);
      fault.frame = *frame;
      if (fields[2] == "last") {
        fault.packet = kLastPacket;
        break;
      }
      const std::optional<std::int64_t> packet = ParseFaultNumber(fields[2]);
      if (!packet || *packet < 0 || *packet > kMaxCount) return fail(kForm);
      fault.packet = static_cast<int>(*packet);
      break;
    }
    case MediaFaultKind::kStall:
    case MediaFaultKind::kRestart: {
      const std::optional<int> ms = positive(1, kMaxCount);
      if (fields.size() != 2 || !ms) return fail(std::string(fields[0]) + " needs MS, positive");
      fault.ms = *ms;
      break;
    }
    case MediaFaultKind::kReplyStall: {
      if (fields.size() < 3 || fields.size() > 4 || fields[1].empty()) {
        return fail("rtsp-stall is rtsp-stall:METHOD:MS[:COUNT]");
      }
      fault.method = std::string(fields[1]);
      const std::optional<int> ms = positive(2, kMaxCount);
      if (!ms) return fail("rtsp-stall needs MS, positive");
      fault.ms = *ms;
      if (fields.size() == 4) {
        const std::optional<int> count = positive(3, kMaxCount);
        if (!count) return fail("the count is a positive number");
        fault.count = *count;
      }
      break;
    }
  }
  return fault;
}

std::string FormatMediaFault(const MediaFault& fault) {
  const std::string name(MediaFaultKindName(fault.kind));
  switch (fault.kind) {
    case MediaFaultKind::kLoss:
      if (fault.every > 0) return name + ":every:" + std::to_string(fault.every);
      return name + ":" + std::to_string(fault.percent) + "%:" + std::to_string(fault.seed);
    case MediaFaultKind::kReorder:
    case MediaFaultKind::kDuplicate: return name + ":" + std::to_string(fault.every);
    case MediaFaultKind::kPad: return name + ":" + std::to_string(fault.octets);
    case MediaFaultKind::kDropPacket:
      return name + ":" + std::to_string(fault.frame) + ":" +
             (fault.packet == kLastPacket ? std::string("last") : std::to_string(fault.packet));
    case MediaFaultKind::kStall:
    case MediaFaultKind::kRestart: return name + ":" + std::to_string(fault.ms);
    case MediaFaultKind::kReplyStall: {
      std::string text = name + ":" + fault.method + ":" + std::to_string(fault.ms);
      if (fault.count >= 0) text += ":" + std::to_string(fault.count);
      return text;
    }
  }
  return name;
}

PacketFate PacketFaultFilter::Next(const std::vector<MediaFault>& faults,
                                   const PacketPlace& place) {
  ++count_;
  PacketFate fate;
  for (const MediaFault& fault : faults) {
    const bool nth = fault.every > 0 && count_ % static_cast<std::uint64_t>(fault.every) == 0;
    switch (fault.kind) {
      case MediaFaultKind::kLoss:
        if (fault.every > 0) {
          fate.drop = fate.drop || nth;
        } else {
          if (seeded_with_ != fault.seed) {
            random_.seed(fault.seed);
            seeded_with_ = fault.seed;
          }
          fate.drop = fate.drop || static_cast<int>(random_() % kPercentScale) < fault.percent;
        }
        break;
      case MediaFaultKind::kReorder: fate.hold = fate.hold || nth; break;
      case MediaFaultKind::kDuplicate: fate.duplicate = fate.duplicate || nth; break;
      case MediaFaultKind::kPad:
        if (fault.octets > 0) fate.padding = static_cast<int>((count_ - 1) % static_cast<std::uint64_t>(fault.octets)) + 1;
        break;
      case MediaFaultKind::kDropPacket:
        if (place.frame == static_cast<std::uint64_t>(fault.frame)) {
          const bool hit = fault.packet == kLastPacket
                               ? place.last
                               : place.packet == static_cast<std::uint64_t>(fault.packet);
          fate.drop = fate.drop || hit;
        }
        break;
      default: break;
    }
  }
  return fate;
}

void MediaFaultSet::Add(const MediaFault& fault) {
  std::lock_guard lock(mutex_);
  switch (fault.kind) {
    case MediaFaultKind::kStall:
      stall_until_ = std::max(stall_until_, std::chrono::steady_clock::now() +
                                                std::chrono::milliseconds(fault.ms));
      return;
    case MediaFaultKind::kRestart: return;
    default:
      faults_.push_back(fault);
      ++version_;
  }
}

void MediaFaultSet::Clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
  stall_until_ = {};
  ++version_;
}

std::vector<MediaFault> MediaFaultSet::List() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

std::vector<MediaFault> MediaFaultSet::PacketFaults() const {
  std::lock_guard lock(mutex_);
  std::vector<MediaFault> packet_faults;
  for (const MediaFault& fault : faults_) {
    if (fault.kind == MediaFaultKind::kLoss || fault.kind == MediaFaultKind::kReorder ||
        fault.kind == MediaFaultKind::kDuplicate || fault.kind == MediaFaultKind::kPad ||
        fault.kind == MediaFaultKind::kDropPacket) {
      packet_faults.push_back(fault);
    }
  }
  return packet_faults;
}

std::uint64_t MediaFaultSet::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

std::chrono::steady_clock::time_point MediaFaultSet::StallUntil() const {
  std::lock_guard lock(mutex_);
  return stall_until_;
}

int MediaFaultSet::TakeReplyStall(std::string_view method) {
  std::lock_guard lock(mutex_);
  int ms = 0;
  for (MediaFault& fault : faults_) {
    if (fault.kind != MediaFaultKind::kReplyStall || fault.count == 0) continue;
    if (fault.method != "*" && fault.method != method) continue;
    ms = std::max(ms, fault.ms);
    if (fault.count > 0) --fault.count;
  }
  const std::size_t before = faults_.size();
  std::erase_if(faults_, [](const MediaFault& fault) {
    return fault.kind == MediaFaultKind::kReplyStall && fault.count == 0;
  });
  if (faults_.size() != before) ++version_;
  return ms;
}

}  // namespace camsim
