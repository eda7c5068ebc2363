#include "xml/preposition_reader.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>
#include <utility>

#include "xml/text_conversion.h"

using kalmora::CSpinWaitLockGuard;

namespace {

// Digits only, at least one, within 32 bits: "%u" would also take signs, blanks and wrap around.
bool ParseKey(std::string_view text, std::uint32_t& key) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  key = static_cast<std::uint32_t>(value);
  return true;
}

// Renames the file at path to path + ".bad" unless that name is taken.
bool KeepAsBad(const std::string& path) {
  const std::string kept = path + ".bad";
  if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0) return true;
  // File systems without RENAME_NOREPLACE: a hard link also refuses an existing name.
  if (errno != EINVAL && errno != ENOSYS) return false;
  return ::link(path.c_str(), kept.c_str()) == 0 && ::unlink(path.c_str()) == 0;
}

}  // namespace

CXMLPrepositionReader::CXMLPrepositionReader(std::string root_name) : root_name_(std::move(root_name)) {}

CXMLPrepositionReader::~CXMLPrepositionReader() {
  CSpinWaitLockGuard guard(lock_);
  while (document_.CloseDocument() > 0) {
  }
}

bool CXMLPrepositionReader::Open(const char* file_name) {
  try {
    CSpinWaitLockGuard guard(lock_);
    auto_save_ = false;
    while (document_.CloseDocument() > 0) {
    }
    if (file_name == nullptr) return false;
    const std::int32_t opened = document_.OpenDocument(file_name);
    if (opened == 0 && document_.RootName() == root_name_) {
      auto_save_ = true;
      return true;
    }
    const std::string path = document_.full_path();
    if (opened == 0 || opened == CXMLSettingsAPI::kNotXml) {
      document_.CloseDocument();
      if (!KeepAsBad(path)) return false;
    } else {
      // Only a missing or empty file is replaced; one that exists but cannot be read is left alone.
      struct stat status {};
      if (::stat(path.c_str(), &status) == 0 && status.st_size > 0) return false;
    }
    if (document_.CreateDocument(root_name_.c_str(), file_name) != 1) return false;
    if (document_.OpenDocument(file_name) != 0) return false;
    auto_save_ = true;
    return true;
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::SetAutoSave(bool on) {
  CSpinWaitLockGuard guard(lock_);
  if (on == auto_save_) return true;
  auto_save_ = on;
  return !on || document_.SaveDocument();
}

bool CXMLPrepositionReader::ReadPreposition(std::uint32_t channel, std::uint32_t position, std::string& name,
                                            std::uint32_t& key) {
  try {
    CSpinWaitLockGuard guard(lock_);
    const char* root = root_name_.c_str();
    std::string read_name =
        kalmora::Utf16ToUtf8(document_.ReadValue("%s/PtzChannel%.2u/Preposition%.3u/Name", root, channel + 1, position));
    if (!kalmora::IsValidPresetName(read_name)) return false;
    const std::string slot =
        kalmora::Utf16ToUtf8(document_.ReadValue("%s/PtzChannel%.2u/Preposition%.3u/Slot", root, channel + 1, position));
    if (!ParseKey(slot, key)) return false;
    name = std::move(read_name);
    return true;
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::WritePreposition(std::uint32_t channel, std::uint32_t position, const std::string& name,
                                             std::uint32_t key) {
  try {
    if (!kalmora::IsValidPresetName(name)) return false;
    CSpinWaitLockGuard guard(lock_);
    const char* root = root_name_.c_str();
    const std::string slot = std::to_string(key);
    const bool written =
        document_.WriteValue(kalmora::Utf8ToUtf16(name), "%s/PtzChannel%.2u/Preposition%.3u/Name", root, channel + 1,
                             position) &&
        document_.WriteValue(std::u16string(slot.begin(), slot.end()), "%s/PtzChannel%.2u/Preposition%.3u/Slot", root,
                             channel + 1, position);
    return written && (!auto_save_ || document_.SaveDocument());
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::ClearChannel(std::uint32_t channel) {
  CSpinWaitLockGuard guard(lock_);
  const char* root = root_name_.c_str();
  if (!document_.NodeExists("%s/PtzChannel%.2u", root, channel + 1) ||
      !document_.RemoveNode("%s/PtzChannel%.2u", root, channel + 1)) {
    return false;
  }
  return !auto_save_ || document_.SaveDocument();
}

void CXMLPrepositionReader::SetBaseFolder(std::string folder) {
  CSpinWaitLockGuard guard(lock_);
  document_.SetBaseFolder(std::move(folder));
}
