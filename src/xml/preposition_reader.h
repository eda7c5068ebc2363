// The preset file: the presets of all PTZ channels of one camera in one XML document, so that
// their names survive restarts of the host. Layout below the root element (the camera family
// word), every value in an attribute "value":
//   <PtzChannelCC>       channel index + 1, at least two digits
//     <PrepositionPPP>   the preset's position in the channel's list, at least three digits
//       <Name value="Gate" />   the name, UTF-8
//       <Slot value="3" />      the preset key, unsigned decimal
#pragma once

#include <cstdint>
#include <string>

#include "thread/spin_wait_lock.h"
#include "xml/xml_settings.h"

// Threads: shared by the preset lists of all channels of a camera, called from any host thread.
// Every operation takes lock(), which is recursive, so a caller may hold it across a sequence of
// operations (a whole channel rewrite) that no other thread may interleave with.
//
// Saving: with automatic saving on, each operation that changes the document saves it once. A
// channel rewrite switches it off, clears the channel, writes the presets and switches it on
// again, which writes the file once; a crash before then leaves the file as it was.
class CXMLPrepositionReader {
 public:
  explicit CXMLPrepositionReader(std::string root_name);
  virtual ~CXMLPrepositionReader();
  CXMLPrepositionReader(const CXMLPrepositionReader&) = delete;
  CXMLPrepositionReader& operator=(const CXMLPrepositionReader&) = delete;

  // Loads the file, or creates it with an empty root when it is missing or empty. A file that is
  // not a settings document with this root is kept as "<file_name>.bad" (never replacing an
  // existing file of that name; Open fails when it cannot be kept) and a new file is created.
  // Automatic saving is on after a successful Open.
  bool Open(const char* file_name);
  // Switching it on saves the document and returns the save's result; otherwise true.
  bool SetAutoSave(bool on);
  // False, leaving name and key untouched, when the entry is missing, its name is not a valid
  // preset name or its key is not an unsigned 32-bit decimal number.
  bool ReadPreposition(std::uint32_t channel, std::uint32_t position, std::string& name, std::uint32_t& key);
  // name is UTF-8; one that IsValidPresetName refuses is not written.
  bool WritePreposition(std::uint32_t channel, std::uint32_t position, const std::string& name, std::uint32_t key);
  // Removes every preset of the channel; false when it has none.
  bool ClearChannel(std::uint32_t channel);

  kalmora::CSpinWaitLock& lock() { return lock_; }
  // The folder the file lives in; empty (the default) is the folder of the process's executable.
  void SetBaseFolder(std::string folder);

 private:
  const std::string root_name_;
  kalmora::CSpinWaitLock lock_;
  CXMLSettingsAPI document_;  // guarded by lock_ for the order of operations; locks itself too
  bool auto_save_ = false;    // guarded by lock_
};
