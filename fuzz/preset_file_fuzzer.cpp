// Feeds arbitrary bytes to the reader as the preset file it finds beside the host: the file is
// opened (loaded, or kept as .bad and created anew), the presets of four channels are read, and
// one preset is written and read back, which creates elements inside whatever was loaded.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "xml/preposition_reader.h"
#include "xml/text_conversion.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// One folder for the run, memory-backed where possible (every save flushes to disk), removed at
// exit. The text is never destroyed, so the exit handler can still read it.
const std::string& Folder() {
  static const std::string* const folder = [] {
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    auto* made = new std::string((base / "preset_file_fuzzer-XXXXXX").string());
    if (::mkdtemp(made->data()) == nullptr) made->clear();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Folder(), ignored);
    });
    return made;
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& folder = Folder();
  if (folder.empty()) return 0;
  ::unlink((folder + "/p.preset.bad").c_str());
  std::ofstream(folder + "/p.preset", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

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
