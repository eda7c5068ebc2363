// A settings document: one XML file held open in memory, single values read and written by XPath,
// element existence tests and removal, creation of a new file, and atomic saving. Every value
// lives in the attribute "value" of the element a path selects. The preset file is its user.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "thread/spin_wait_lock.h"

namespace pugi {
class xml_document;
}

// Checks that a file exists, can be opened for reading and is not empty, and reads it whole.
class CDinaFileBase {
 public:
  CDinaFileBase() = default;
  virtual ~CDinaFileBase();
  CDinaFileBase(const CDinaFileBase&) = delete;
  CDinaFileBase& operator=(const CDinaFileBase&) = delete;

  // False, with nothing open, when the file is missing, unreadable, not a regular file or empty.
  bool OpenForReading(const std::string& file_name);
  // The whole file; false when it cannot be read or is larger than kMaxSize.
  bool ReadAll(std::string& content);
  void Close();

  const std::string& file_name() const { return file_name_; }

  // A settings file of that size is not one this program wrote: it is refused rather than loaded.
  static constexpr std::size_t kMaxSize = 64u << 20;

 private:
  std::string file_name_;
  int fd_ = -1;
};

// Threads: any thread may call any operation. The open lock orders opening, closing and creation;
// the access lock makes each read, write, test, removal and save atomic with respect to the
// others and guards the document itself, so a close never pulls it from under a reader. Both are
// recursive; the open lock is always taken before the access lock. No exception leaves an
// operation: every failure is a false, negative or empty result.
//
// Paths are XPath expressions relative to the document ("Orvane/PtzChannel01/Preposition000/Name"
// or "/Orvane/..."), given as printf formats; the expanded path is cut at kMaxPathLength
// characters. WriteValue and RemoveNode change the document only: the caller saves once. RemoveNode
// removes every element the path selects.
class CXMLSettingsAPI {
 public:
  static constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005);
  // The file exists and is not empty but is not a well-formed document with one root element.
  static constexpr std::int32_t kNotXml = static_cast<std::int32_t>(0x80004006);
  static constexpr std::size_t kMaxPathLength = 1023;

  CXMLSettingsAPI();
  virtual ~CXMLSettingsAPI();
  CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
  CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

  // Loads the file from the base folder, keeping white space. 0 on success; kFail for a missing,
  // unreadable or empty file, kNotXml for one that does not parse. While open, a further call
  // only counts up and returns 0.
  std::int32_t OpenDocument(const char* file_name);
  // Counts one open down and releases the document at 0; returns the remaining count.
  std::int32_t CloseDocument();
  // Writes a new file holding the declaration and an empty root element, replacing any file of
  // that name. 1 when written; 0 otherwise, and always 0 while a document is open. The object
  // stays closed: the caller opens the new file.
  std::int32_t CreateDocument(const char* root_name, const char* file_name);

  // The attribute "value" of the first element the path selects; empty when the document is
  // closed, nothing matches, or the element has no such attribute.
  std::u16string ReadValue(const char* path_format, ...) __attribute__((format(printf, 2, 3)));
  // Sets the attribute "value" of the selected element. Missing elements along a plain path
  // (names separated by "/") are created as last children, indented one tab per level.
  bool WriteValue(const std::u16string& value, const char* path_format, ...)
      __attribute__((format(printf, 3, 4)));
  bool NodeExists(const char* path_format, ...) __attribute__((format(printf, 2, 3)));
  // Removes the selected element with everything below it, and the indentation before it. The
  // root element is never removed.
  bool RemoveNode(const char* path_format, ...) __attribute__((format(printf, 2, 3)));
  // Writes the document over its file atomically: readers of the file, and the file after a
  // crash, hold either the old or the new document, never a part of one.
  bool SaveDocument();

  // The document element's name; empty when closed.
  std::string RootName() const;
  // The file the last OpenDocument on a closed document tried, base folder included (also when it
  // failed). Read it on the thread that opens.
  const std::string& full_path() const { return full_path_; }
  // The folder files are opened and created in; empty (the default) means the folder of the
  // process's executable.
  void SetBaseFolder(std::string folder);

 private:
  std::string FullPathLocked(const char* file_name) const;
  // Expands the path, takes the access lock and runs op(document, path); failure when the path
  // cannot be expanded, the document is closed, or op throws.
  template <class R, class Op>
  R OnDocument(R failure, const char* path_format, std::va_list args, Op&& op) __attribute__((format(printf, 3, 0)));

  mutable kalmora::CSpinWaitLock open_lock_;
  std::int32_t open_count_ = 0;  // guarded by open_lock_
  std::string base_folder_;      // guarded by open_lock_
  mutable kalmora::CSpinWaitLock access_lock_;
  std::unique_ptr<pugi::xml_document> document_;  // guarded by access_lock_; null while closed
  std::string full_path_;                          // written under both locks
};
