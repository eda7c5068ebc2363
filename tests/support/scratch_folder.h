// A temporary folder of one test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "child_program.h"

namespace tessavirn_test {

class ScratchFolder {
 public:
  ScratchFolder() : path_((std::filesystem::temp_directory_path() / "tessavirn-scratch-XXXXXX").string()) {
    if (::mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary) << content;
  }
  std::string Read(const std::string& name) const { return ReadText(File(name)); }
  // Every save replaces the file by a rename, so a changed inode number shows a save.
  ino_t Inode(const std::string& name) const {
    struct stat status {};
    return ::stat(File(name).c_str(), &status) == 0 ? status.st_ino : 0;
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.insert(entry.path().filename());
    return names;
  }

 private:
  std::string path_;
};

}  // namespace tessavirn_test
