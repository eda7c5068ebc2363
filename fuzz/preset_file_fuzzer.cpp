// Feeds arbitrary bytes to the reader as the preset file it finds beside the host: the file is
// opened (loaded, or kept as .bad and created anew), the presets of four channels are read, a
// preset list loads channel 1 (rewriting entries that do not line up, so a second list loads the
// same), and one preset is written and read back, which creates elements inside whatever was
// loaded.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ptz/base_ptz_comm.h"
#include "ptz/preposition_list.h"
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

// Takes every preset request.
class AcceptingCamera final : public kalmora::IPrepositionComm {
 public:
  bool SetPreset(std::uint32_t) override { return true; }
  bool GoPreset(std::uint32_t, int) override { return true; }
  bool DeletePreset(std::uint32_t) override { return true; }
  void Log(std::int32_t, const char*, ...) override {}
};

std::vector<std::string> LoadList(const kalmora::TSmartPtr<CXMLPrepositionReader>& holder) {
  AcceptingCamera camera;
  kalmora::CPrepositionList list(0);
  list.SetPresetComm(&camera);
  list.SetMaximum(8);
  Check(list.AttachStorage(holder));
  std::vector<std::string> names;
  std::string name;
  for (int position = 0; position < list.GetCount(); ++position) {
    Check(list.GetName(static_cast<unsigned>(position), name) && kalmora::IsValidPresetName(name));
    names.push_back(name);
  }
  Check(names.size() <= 8);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& folder = Folder();
  if (folder.empty()) return 0;
  ::unlink((folder + "/p.preset.bad").c_str());
  std::ofstream(folder + "/p.preset", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  kalmora::TSmartPtr<CXMLPrepositionReader> holder;
  Check(holder.Reset(new CXMLPrepositionReader("Orvane")));
  CXMLPrepositionReader& reader = *holder.get();
  reader.SetBaseFolder(folder);
  Check(reader.Open("p.preset"));
  std::string name;
  std::uint32_t key = 0;
  for (std::uint32_t channel = 0; channel < 4; ++channel) {
    for (std::uint32_t position = 0; position < 10; ++position) {
      if (reader.ReadPreposition(channel, position, name, key)) Check(kalmora::IsValidPresetName(name));
    }
  }
  Check(LoadList(holder) == LoadList(holder));
  Check(reader.WritePreposition(3, 10, "Gate", 7));
  Check(reader.ReadPreposition(3, 10, name, key) && name == "Gate" && key == 7);
  return 0;
}
