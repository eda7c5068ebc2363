// Feeds arbitrary bytes to the reader as the preset file it finds beside the host: the file is
// opened (loaded, or kept as .bad and created anew), the presets of four channels are read, and
// one preset is written and read back, which creates elements inside whatever was loaded.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "xml/preposition_reader.h"
#include "xml/text_conversion.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void RemoveFolder();

// One folder for the run, removed when the fuzzer exits. The text is never destroyed, so the exit
// handler can still read it.
const std::string& Folder() {
  static const std::string* const folder = [] {
    // Memory-backed where there is one: every save flushes to disk, which would bound the rate.
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "preset_file_fuzzer-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) pattern.clear();
    auto* made = new std::string(std::move(pattern));
    if (!made->empty()) std::atexit(RemoveFolder);
    return made;
  }();
  return *folder;
}

void RemoveFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(Folder(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& folder = Folder();
  if (folder.empty()) return 0;
  const std::string file = folder + "/p.preset";
  ::unlink((file + ".bad").c_str());
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, out) == size;
  if (std::fclose(out) != 0 || !written) return 0;

  CXMLPrepositionReader reader("Orvane");
  reader.SetBaseFolder(folder);
  Check(reader.Open("p.preset"));
  std::string name;
  std::uint32_t key = 0;
  for (std::uint32_t channel = 0; channel < 4; ++channel) {
    for (std::uint32_t position = 0; position < 10; ++position) {
      if (reader.ReadPreposition(channel, position, name, key)) Check(kalmora::IsValidPresetName(name));
    }
  }
  Check(reader.WritePreposition(3, 10, "Gate", 7));
  Check(reader.ReadPreposition(3, 10, name, key) && name == "Gate" && key == 7);
  return 0;
}
