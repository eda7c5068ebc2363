// The preset list on a real preset file with a stand-in for the camera: what loading makes of a
// file written by hand, and a process killed while it adds and deletes presets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ptz/base_ptz_comm.h"
#include "ptz/preposition_list.h"
#include "kill_at_random.h"
#include "scratch_folder.h"

namespace {

using kalmora::CPrepositionList;
using kalmora::TSmartPtr;
using tessavirn_test::ScratchFolder;

// Takes every preset request; keeps nothing.
class AcceptingCamera final : public kalmora::IPrepositionComm {
 public:
  bool SetPreset(std::uint32_t) override { return true; }
  bool GoPreset(std::uint32_t, int) override { return true; }
  bool DeletePreset(std::uint32_t) override { return true; }
  void Log(std::int32_t, const char*, ...) override {}
};

TSmartPtr<CXMLPrepositionReader> OpenReader(const ScratchFolder& dir) {
  TSmartPtr<CXMLPrepositionReader> holder;
  holder.Reset(new CXMLPrepositionReader("Orvane"));
  holder->SetBaseFolder(dir.path());
  EXPECT_TRUE(holder->Open("p.preset"));
  return holder;
}

// The channel's entries as the file holds them: "NAME/KEY" for Preposition 0, 1, ... up to the
// first missing number.
std::vector<std::string> Stored(const ScratchFolder& dir) {
  auto reader = OpenReader(dir);
  std::vector<std::string> entries;
  std::string name;
  std::uint32_t key = 0;
  for (std::uint32_t p = 0; reader->ReadPreposition(0, p, name, key); ++p) {
    entries.push_back(name + "/" + std::to_string(key));
  }
  return entries;
}

std::unique_ptr<CPrepositionList> AttachList(const ScratchFolder& dir, AcceptingCamera& camera, int maximum) {
  auto list = std::make_unique<CPrepositionList>(0);
  list->SetPresetComm(&camera);
  list->SetMaximum(maximum);
  EXPECT_TRUE(list->AttachStorage(OpenReader(dir)));
  return list;
}

// Entries loading must skip (a gap, a repeated key, a key past the camera's slots) are written
// out at once, so the next addition lands after the last preset instead of on a skipped entry.
TEST(PrepositionList, FileWithGapsIsRewrittenOnLoad) {
  ScratchFolder dir;
  {
    auto reader = OpenReader(dir);
    ASSERT_TRUE(reader->WritePreposition(0, 0, "Gate", 0));
    ASSERT_TRUE(reader->WritePreposition(0, 2, "Door", 1));
    ASSERT_TRUE(reader->WritePreposition(0, 3, "Again", 0));
    ASSERT_TRUE(reader->WritePreposition(0, 4, "Beyond", 9));
  }
  AcceptingCamera camera;
  auto list = AttachList(dir, camera, 4);
  EXPECT_EQ(list->GetCount(), 2);
  EXPECT_EQ(Stored(dir), (std::vector<std::string>{"Gate/0", "Door/1"}));
  ASSERT_TRUE(list->AddPreposition("Yard"));
  EXPECT_EQ(Stored(dir), (std::vector<std::string>{"Gate/0", "Door/1", "Yard/2"}));
}

// What the list holds after operation i of the writer below, from the state before it: the
// writer adds "nI" at the lowest free key while it holds fewer than 5 presets, else deletes the
// first one.
void Apply(std::vector<std::pair<std::string, int>>& presets, std::uint32_t i) {
  if (presets.size() < 5) {
    int key = 0;
    while (std::any_of(presets.begin(), presets.end(), [key](const auto& p) { return p.second == key; })) ++key;
    presets.emplace_back("n" + std::to_string(i), key);
  } else {
    presets.erase(presets.begin());
  }
}

std::vector<std::string> Describe(const std::vector<std::pair<std::string, int>>& presets) {
  std::vector<std::string> entries;
  for (const auto& [name, key] : presets) entries.push_back(name + "/" + std::to_string(key));
  return entries;
}

// A process adding and deleting presets is killed at random moments, 30 times. After every kill
// the file loads (nothing kept as .bad) and holds the presets before or after the operation it
// was in, never a part of a rewrite.
TEST(PrepositionList, AddAndDeleteSurviveKill) {
  ScratchFolder dir;
  std::vector<std::pair<std::string, int>> presets;
  std::uint32_t done = 0;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    // The child reports each finished operation; bounded, though killed long before.
    const auto outcome = tessavirn_test::KillAtRandomMoment(random, [&](const auto& report) {
      AcceptingCamera camera;
      auto list = AttachList(dir, camera, 8);
      for (std::uint32_t i = done + 1; i < done + 100000; ++i) {
        list->ResetCurrentPosition();
        std::string first;
        const bool ok = list->GetCount() < 5 ? list->AddPreposition(("n" + std::to_string(i)).c_str())
                                             : list->GetName(0, first) && list->DeletePreposition(first.c_str());
        if (!ok || !report(i)) break;
      }
    });
    ASSERT_TRUE(outcome.killed) << "the writer failed on its own";
    for (const std::uint32_t i : outcome.reported) Apply(presets, done = i);

    const std::vector<std::string> stored = Stored(dir);
    auto next = presets;
    Apply(next, done + 1);
    if (stored == Describe(next)) {
      presets = next;
      ++done;
    }
    ASSERT_EQ(stored, Describe(presets)) << "after operation " << done;
  }
  EXPECT_FALSE(dir.Names().contains("p.preset.bad"));
}

}  // namespace
