#include "ptz/preposition_list.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ptz/base_ptz_comm.h"
#include "xml/text_conversion.h"

namespace kalmora {
namespace {

constexpr const char* kAddPreposition = "kalmora::CPrepositionList::AddPreposition";
// Characters a host's preset dialogue or the file would choke on.
constexpr const char* kForbiddenCharacters = "&!<>'\"";

}  // namespace

CPrepositionList::CPrepositionList(std::uint32_t channel) : channel_(channel) {}

CPrepositionList::~CPrepositionList() = default;

void CPrepositionList::SetPresetComm(IPrepositionComm* comm) {
  CSpinWaitLockGuard guard(lock_);
  comm_ = comm;
}

void CPrepositionList::SetMaximum(int maximum) {
  CSpinWaitLockGuard guard(lock_);
  maximum_ = std::max(maximum, 0);
}

bool CPrepositionList::IsValidName(const char* name) {
  return name != nullptr && *name != '\0' && std::strpbrk(name, kForbiddenCharacters) == nullptr &&
         IsValidPresetName(name);
}

bool CPrepositionList::AttachStorage(TSmartPtr<CXMLPrepositionReader> holder) {
  CSpinWaitLockGuard guard(lock_);
  reader_ = std::move(holder);
  if (!reader_) return false;
  if (Load()) SaveAll();
  return true;
}

int CPrepositionList::GetCount() {
  CSpinWaitLockGuard guard(lock_);
  return static_cast<int>(order_.size());
}

bool CPrepositionList::GetName(unsigned position, std::string& name) {
  name.clear();
  CSpinWaitLockGuard guard(lock_);
  if (position >= order_.size()) return false;
  const auto it = names_.find(order_[position]);
  if (it == names_.end()) return false;
  name = it->second;
  return true;
}

bool CPrepositionList::GetCurrentName(std::string& name) {
  name.clear();
  CSpinWaitLockGuard guard(lock_);
  if (current_ < 0) return false;
  return GetName(static_cast<unsigned>(current_), name);
}

void CPrepositionList::ResetCurrentPosition() {
  CSpinWaitLockGuard guard(lock_);
  current_ = -1;
}

bool CPrepositionList::GoToPreposition(const char* name, int extra) {
  if (name == nullptr || *name == '\0') return false;
  CSpinWaitLockGuard guard(lock_);
  const int key = FindKey(name);
  const int position = key < 0 ? -1 : FindPosition(key);
  if (position < 0) return false;
  if (position == current_) return true;
  if (comm_ == nullptr || !comm_->GoPreset(static_cast<std::uint32_t>(key), extra)) return false;
  current_ = position;
  return true;
}

bool CPrepositionList::AddPreposition(const char* name) {
  if (comm_ == nullptr) return false;
  if (!IsValidName(name)) {
    LogText(1, std::string(kAddPreposition) + ": A preposition \"" + (name != nullptr ? name : "") +
                   "\" cannot be added - the name is invalid.");
    return false;
  }
  CSpinWaitLockGuard guard(lock_);
  if (current_ != -1) return RenameCurrentPreposition(name);
  if (static_cast<int>(order_.size()) >= maximum_) {
    LogText(1, std::string(kAddPreposition) + ": A preposition \"" + name + "\" cannot be added. " +
                   "Camera supports saving not more than " + std::to_string(maximum_) + " prepositions.");
    return false;
  }
  int key = 0;
  while (key < maximum_ && names_.count(key) != 0) ++key;
  if (key >= maximum_) return false;
  if (!comm_->SetPreset(static_cast<std::uint32_t>(key))) return false;
  names_[key] = name;
  order_.push_back(key);
  current_ = static_cast<int>(order_.size()) - 1;
  return StorePreposition(current_, key, name);
}

bool CPrepositionList::DeletePreposition(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  CSpinWaitLockGuard guard(lock_);
  const int key = FindKey(name);
  if (key < 0 || comm_ == nullptr) return false;
  if (comm_->DeletePreset(static_cast<std::uint32_t>(key))) {
    names_.erase(key);
    order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
  }
  current_ = -1;
  return SaveAll();
}

bool CPrepositionList::RenameCurrentPreposition(const std::string& name) {
  if (current_ < 0 || current_ >= static_cast<int>(order_.size())) return false;
  const auto it = names_.find(order_[static_cast<std::size_t>(current_)]);
  if (it == names_.end()) return false;
  const std::string old_name = std::exchange(it->second, name);
  if (comm_ != nullptr) {
    comm_->Log(3, "%s: A preposition with index %d was renamed from \"%s\" to \"%s\".",
               "kalmora::CPrepositionList::RenameCurrentPreposition", current_, old_name.c_str(), name.c_str());
  }
  // Rewritten at once, so the new name survives a restart.
  return SaveAll();
}

bool CPrepositionList::StorePreposition(int position, int key, const std::string& name) {
  if (!reader_) return false;
  return reader_->WritePreposition(channel_, static_cast<std::uint32_t>(position), name,
                                   static_cast<std::uint32_t>(key));
}

bool CPrepositionList::SaveAll() {
  if (!reader_) return false;
  // No other channel's write may come between clearing and saving: it would be saved with half
  // of this channel. Saving happens once, when automatic saving comes back on.
  CSpinWaitLockGuard reader_guard(reader_->lock());
  reader_->SetAutoSave(false);
  reader_->ClearChannel(channel_);
  bool written = true;
  for (std::size_t position = 0; written && position < order_.size(); ++position) {
    const auto it = names_.find(order_[position]);
    written = it != names_.end() && reader_->WritePreposition(channel_, static_cast<std::uint32_t>(position),
                                                              it->second, static_cast<std::uint32_t>(it->first));
  }
  const bool saved = reader_->SetAutoSave(true);
  return written && saved;
}

bool CPrepositionList::Load() {
  names_.clear();
  order_.clear();
  current_ = -1;
  if (!reader_) return false;
  bool misaligned = false;
  for (int number = 0; number < maximum_; ++number) {
    std::string name;
    std::uint32_t key = 0;
    if (!reader_->ReadPreposition(channel_, static_cast<std::uint32_t>(number), name, key)) continue;
    // A key the camera does not offer now, or one already taken, cannot be kept; the file is
    // rewritten without it.
    if (key >= static_cast<std::uint32_t>(maximum_) || names_.count(static_cast<int>(key)) != 0) {
      misaligned = true;
      continue;
    }
    // An entry after a missing number sits at a position the list does not give it.
    misaligned = misaligned || static_cast<std::size_t>(number) != order_.size();
    names_[static_cast<int>(key)] = std::move(name);
    order_.push_back(static_cast<int>(key));
  }
  return misaligned;
}

int CPrepositionList::FindKey(const std::string& name) const {
  for (const auto& [key, stored] : names_) {
    if (stored == name) return key;
  }
  return -1;
}

int CPrepositionList::FindPosition(int key) const {
  const auto it = std::find(order_.begin(), order_.end(), key);
  return it == order_.end() ? -1 : static_cast<int>(it - order_.begin());
}

void CPrepositionList::LogText(std::int32_t message_type, const std::string& text) {
  if (comm_ != nullptr) comm_->Log(message_type, "%s", text.c_str());
}

}  // namespace kalmora
