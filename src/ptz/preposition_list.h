// The named presets of one PTZ channel. The host names presets; the camera knows numbered
// slots. Each name maps to a preset key (a position in the channel's preset slot table), the
// camera stores and recalls the key's slot, and the list is kept in the camera's preset file so
// that names survive restarts. The list remembers which preset the camera stands at: recalling
// it again costs no request, and adding at the same position renames it instead of filling a
// second slot.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ptz/smart_ptr.h"
#include "thread/spin_wait_lock.h"
#include "xml/preposition_reader.h"

namespace kalmora {

class IPrepositionComm;

// Threads: every public operation takes the list's recursive lock; camera requests of adding
// and recalling are made with it held, on the caller's thread. A channel rewrite holds the
// reader's lock from clearing the channel to saving, so no other channel's write comes between.
class CPrepositionList {
 public:
  explicit CPrepositionList(std::uint32_t channel);
  virtual ~CPrepositionList();
  CPrepositionList(const CPrepositionList&) = delete;
  CPrepositionList& operator=(const CPrepositionList&) = delete;

  // Set by the control before AttachStorage. comm is also the list's log.
  void SetPresetComm(IPrepositionComm* comm);
  void SetMaximum(int maximum);
  int maximum() const { return maximum_; }

  // Takes a share of the reader and loads the channel's presets from it. A file whose entries
  // do not line up with the list (gaps, duplicate keys, keys the camera no longer offers) is
  // rewritten at once, so a later addition cannot land on an entry that was skipped. Returns
  // whether the holder held a reader.
  bool AttachStorage(TSmartPtr<CXMLPrepositionReader> holder);
  int GetCount();
  bool GetName(unsigned position, std::string& name);
  // Recalls the preset of that name; the one the camera stands at is not sent again.
  bool GoToPreposition(const char* name, int extra);
  // Stores the camera's present position under a new name, or renames the preset the camera
  // stands at. False for an invalid name, a full list, a camera that refused, or a file that
  // could not be written (the list keeps the change then).
  bool AddPreposition(const char* name);
  // Forgets the preset and rewrites the channel in the file, later presets moving up.
  bool DeletePreposition(const char* name);
  bool GetCurrentName(std::string& name);
  // The camera has moved away: the next recall is sent and the next addition adds.
  void ResetCurrentPosition();

  // Not empty, none of & ! < > ' ", well-formed UTF-8 and no control characters.
  static bool IsValidName(const char* name);

 protected:
  virtual bool StorePreposition(int position, int key, const std::string& name);
  // Writes the channel anew from the list and saves the file once.
  virtual bool SaveAll();
  // Reads the channel from the file; returns whether the file had entries the list skipped or
  // numbered differently.
  virtual bool Load();

 private:
  bool RenameCurrentPreposition(const std::string& name);
  // The lowest key carrying the name, or -1.
  int FindKey(const std::string& name) const;
  // The first position holding the key, or -1.
  int FindPosition(int key) const;
  void LogText(std::int32_t message_type, const std::string& text);

  const std::uint32_t channel_;
  IPrepositionComm* comm_ = nullptr;
  int maximum_ = 0;
  TSmartPtr<CXMLPrepositionReader> reader_;
  CSpinWaitLock lock_;
  std::map<int, std::string> names_;  // guarded by lock_, as are the two below
  std::vector<int> order_;
  int current_ = -1;
};

}  // namespace kalmora
