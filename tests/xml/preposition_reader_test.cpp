#include "xml/preposition_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "kill_at_random.h"
#include "scratch_folder.h"

namespace {

using tessavirn_test::ScratchFolder;

constexpr char kNewFile[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Orvane/>\n";

std::unique_ptr<CXMLPrepositionReader> OpenReader(const ScratchFolder& dir) {
  auto reader = std::make_unique<CXMLPrepositionReader>("Orvane");
  reader->SetBaseFolder(dir.path());
  return reader->Open("p.preset") ? std::move(reader) : nullptr;
}

// "name/key" of an entry, or empty when it cannot be read.
std::string Entry(CXMLPrepositionReader& reader, std::uint32_t channel, std::uint32_t position) {
  std::string name;
  std::uint32_t key = 0;
  return reader.ReadPreposition(channel, position, name, key) ? name + "/" + std::to_string(key) : "";
}

// Open made a new file; what was there before, unless empty, is kept as .bad.
std::function<void(CXMLPrepositionReader&, const ScratchFolder&)> NewFile(std::string kept) {
  return [kept](CXMLPrepositionReader&, const ScratchFolder& dir) {
    EXPECT_EQ(dir.Read("p.preset"), kNewFile);
    EXPECT_EQ(dir.Names().count("p.preset.bad"), kept.empty() ? 0u : 1u);
    EXPECT_EQ(dir.Read("p.preset.bad"), kept);
  };
}

// Each row runs on a fresh folder holding p.preset and p.preset.bad with the row's contents
// (nullptr: no such file), after the reader's Open.
TEST(PrepositionReader, File) {
  const struct {
    const char* label;
    const char* content;
    const char* bad;
    bool opens;
    std::function<void(CXMLPrepositionReader&, const ScratchFolder&)> check;
  } kRows[] = {
      {"missing file", nullptr, nullptr, true, NewFile("")},
      {"empty file", "", nullptr, true, NewFile("")},
      {"not XML", "<Orvane><PtzChannel01>", nullptr, true, NewFile("<Orvane><PtzChannel01>")},
      {"another root", "<Other/>", nullptr, true, NewFile("<Other/>")},
      {"an existing .bad is not overwritten", "junk", "older", false,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         EXPECT_EQ(dir.Read("p.preset.bad"), "older");
         EXPECT_EQ(dir.Read("p.preset"), "junk");
         EXPECT_FALSE(reader.WritePreposition(0, 0, "Gate", 1));
       }},
      {"channel index 1, position 0, saved at once", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         ASSERT_TRUE(reader.WritePreposition(1, 0, "Gate", 7));
         EXPECT_EQ(dir.Read("p.preset"),
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Orvane>\n\t<PtzChannel02>\n\t\t<Preposition000>\n"
                   "\t\t\t<Name value=\"Gate\"/>\n\t\t\t<Slot value=\"7\"/>\n\t\t</Preposition000>\n"
                   "\t</PtzChannel02>\n</Orvane>\n");
       }},
      {"non-ASCII name round-trips through the file", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         const std::string name = "T\xC3\xBCr \xE2\x98\x82 \xF0\x9F\x98\x80 <&\">";
         ASSERT_TRUE(reader.WritePreposition(0, 12, name, 4294967295u));
         const auto again = OpenReader(dir);
         ASSERT_NE(again, nullptr);
         EXPECT_EQ(Entry(*again, 0, 12), name + "/4294967295");
         EXPECT_EQ(Entry(*again, 0, 11), "");
       }},
      {"invalid names are refused and change nothing", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         for (const char* name : {"", "a\xC3", "a\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\nb", "\x7F",
                                  "a\xC2\x85"}) {
           EXPECT_FALSE(reader.WritePreposition(0, 0, name, 1)) << name;
         }
         EXPECT_EQ(dir.Read("p.preset"), kNewFile);
       }},
      {"SetAutoSave(true) while on does not save", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         const ino_t before = dir.Inode("p.preset");
         EXPECT_TRUE(reader.SetAutoSave(true));
         EXPECT_EQ(dir.Inode("p.preset"), before);
       }},
      {"a rewrite reaches the file once, at its end", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         ASSERT_TRUE(reader.WritePreposition(0, 0, "Old0", 1) && reader.WritePreposition(0, 1, "Old1", 2));
         const ino_t before = dir.Inode("p.preset");
         ASSERT_TRUE(reader.SetAutoSave(false) && reader.ClearChannel(0) && reader.WritePreposition(0, 0, "New", 3));
         EXPECT_EQ(dir.Inode("p.preset"), before);
         ASSERT_TRUE(reader.SetAutoSave(true));
         const auto again = OpenReader(dir);
         ASSERT_NE(again, nullptr);
         EXPECT_EQ(Entry(*again, 0, 0) + Entry(*again, 0, 1), "New/3");
         EXPECT_FALSE(reader.ClearChannel(1)) << "no such channel";
       }},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.label);
    ScratchFolder dir;
    if (row.content != nullptr) dir.Write("p.preset", row.content);
    if (row.bad != nullptr) dir.Write("p.preset.bad", row.bad);
    CXMLPrepositionReader reader("Orvane");
    reader.SetBaseFolder(dir.path());
    ASSERT_EQ(reader.Open("p.preset"), row.opens);
    row.check(reader, dir);
  }
}

TEST(PrepositionReader, KeyIsOneUnsigned32BitNumber) {
  const struct { const char* slot; const char* entry; } kRows[] = {
      {"0", "G/0"}, {"4294967295", "G/4294967295"}, {"007", "G/7"}, {"4294967296", ""}, {"", ""},
      {"-1", ""},   {"+1", ""},                     {" 1", ""},     {"1 ", ""},         {"12a", ""}};
  ScratchFolder dir;
  std::string file = "<Orvane><PtzChannel01>";
  for (const auto& row : kRows) {
    const std::string element = "Preposition00" + std::to_string(&row - kRows);
    file += "<" + element + "><Name value=\"G\"/><Slot value=\"" + row.slot + "\"/></" + element + ">";
  }
  dir.Write("p.preset", file + "</PtzChannel01></Orvane>");
  const auto reader = OpenReader(dir);
  ASSERT_NE(reader, nullptr);
  for (const auto& row : kRows) EXPECT_EQ(Entry(*reader, 0, &row - kRows), row.entry) << '"' << row.slot << '"';
}

TEST(PrepositionReader, OpenLeavesWhatItCannotReadAlone) {
  ScratchFolder dir;
  std::filesystem::create_directories(dir.File("p.preset/inside"));
  EXPECT_EQ(OpenReader(dir), nullptr);
  EXPECT_EQ(dir.Names(), std::set<std::string>{"p.preset"});
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("p.preset/inside")));
}

std::string RewriteName(std::uint32_t rewrite, std::uint32_t position) {
  return "r" + std::to_string(rewrite) + "p" + std::to_string(position);
}

// Rewrite number i of channel 0 holds i % 20 + 1 presets, as a preset list rewrites a channel.
bool Rewrite(CXMLPrepositionReader& reader, std::uint32_t i) {
  kalmora::CSpinWaitLockGuard guard(reader.lock());
  if (!reader.SetAutoSave(false)) return false;
  reader.ClearChannel(0);
  for (std::uint32_t p = 0; p <= i % 20; ++p) {
    if (!reader.WritePreposition(0, p, RewriteName(i, p), p)) return false;
  }
  return reader.SetAutoSave(true);
}

// A process rewriting the channel is killed at random moments, 30 times. After every kill the
// file loads and holds one complete rewrite: the last one the process reported done, or the one
// it was saving; never a mix of two, a part of one or an empty channel.
TEST(PrepositionReader, RewriteSurvivesKill) {
  ScratchFolder dir;
  ASSERT_TRUE(Rewrite(*OpenReader(dir), 0));
  std::uint32_t done = 0;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    // Some rewrites done, then a random moment inside the next one. The child reports each
    // finished rewrite; bounded, though killed long before.
    const auto outcome = tessavirn_test::KillAtRandomMoment(random, [&](const auto& report) {
      const auto reader = OpenReader(dir);
      for (std::uint32_t i = done + 1; reader && i < done + 100000; ++i) {
        if (!Rewrite(*reader, i) || !report(i)) break;
      }
    });
    ASSERT_TRUE(outcome.killed) << "the writer failed on its own";
    if (!outcome.reported.empty()) done = outcome.reported.back();

    const auto check = OpenReader(dir);
    ASSERT_NE(check, nullptr);
    const std::string first = Entry(*check, 0, 0);
    const std::uint32_t seen = static_cast<std::uint32_t>(std::atol(first.c_str() + 1));
    ASSERT_TRUE(seen == done || seen == done + 1) << first << " after rewrite " << done;
    for (std::uint32_t p = 0; p <= seen % 20 + 1; ++p) {
      EXPECT_EQ(Entry(*check, 0, p), p <= seen % 20 ? RewriteName(seen, p) + "/" + std::to_string(p) : "");
    }
    done = seen;
  }
  // Besides the file only temporary files of saves cut short by a kill may remain ("p.preset."
  // and six characters); they are never read. Nothing was found broken and kept as .bad.
  for (const auto& name : dir.Names()) {
    EXPECT_TRUE(name == "p.preset" || (name.size() == 15 && name.starts_with("p.preset.") && name != "p.preset.bad"))
        << name;
  }
}

// Two host threads write presets of two channels at once, each saved: none is lost.
TEST(PrepositionReader, ConcurrentWritersLoseNothing) {
  ScratchFolder dir;
  const auto reader = OpenReader(dir);
  const auto write_channel = [&](std::uint32_t channel) {
    for (std::uint32_t p = 0; p < 20; ++p) EXPECT_TRUE(reader->WritePreposition(channel, p, RewriteName(channel, p), p));
  };
  std::thread other(write_channel, 1);
  write_channel(2);
  other.join();
  const auto check = OpenReader(dir);
  for (std::uint32_t p = 0; p < 40; ++p) {
    EXPECT_EQ(Entry(*check, 1 + p / 20, p % 20), RewriteName(1 + p / 20, p % 20) + "/" + std::to_string(p % 20));
  }
}

}  // namespace
