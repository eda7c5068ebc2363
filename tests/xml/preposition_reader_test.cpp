#include "xml/preposition_reader.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <thread>

#include "scratch_folder.h"

namespace {

using tessavirn_test::ScratchFolder;

constexpr char kNewFile[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Orvane/>\n";

std::string Preset(std::uint32_t slot, const char* name, const char* key) {
  return std::string("<Preposition") + std::to_string(1000 + slot).substr(1) + "><Name value=\"" + name +
         "\"/><Slot value=\"" + key + "\"/></Preposition" + std::to_string(1000 + slot).substr(1) + ">";
}

// Each row runs on a fresh folder, with "p.preset" holding the row's content (none: no file)
// and a reader opened on it unless the row opens itself.
TEST(PrepositionReader, File) {
  const struct {
    const char* label;
    const char* content;  // of p.preset, and of p.preset.bad; nullptr: no such file
    const char* bad;
    bool opens;
    std::function<void(CXMLPrepositionReader&, const ScratchFolder&)> check;
  } kRows[] = {
      {"new file: declaration and empty root", nullptr, nullptr, true,
       [](CXMLPrepositionReader&, const ScratchFolder& dir) { EXPECT_EQ(dir.Read("p.preset"), kNewFile); }},
      {"empty file is replaced", "", nullptr, true,
       [](CXMLPrepositionReader&, const ScratchFolder& dir) { EXPECT_EQ(dir.Read("p.preset"), kNewFile); }},
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
         CXMLPrepositionReader again("Orvane");
         again.SetBaseFolder(dir.path());
         ASSERT_TRUE(again.Open("p.preset"));
         std::string read_name;
         std::uint32_t key = 0;
         ASSERT_TRUE(again.ReadPreposition(0, 12, read_name, key));
         EXPECT_EQ(read_name, name);
         EXPECT_EQ(key, 4294967295u);
         EXPECT_FALSE(again.ReadPreposition(0, 11, read_name, key));
       }},
      {"invalid names are refused and change nothing", nullptr, nullptr, true,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         for (const char* name : {"", "\xC3", "a\xC0\xAF", "a\nb", "\x7F", "a\xC2\x85"}) {
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
         ASSERT_TRUE(reader.WritePreposition(0, 0, "Old0", 1));
         ASSERT_TRUE(reader.WritePreposition(0, 1, "Old1", 2));
         const std::string saved = dir.Read("p.preset");
         const ino_t before = dir.Inode("p.preset");
         ASSERT_TRUE(reader.SetAutoSave(false));
         ASSERT_TRUE(reader.ClearChannel(0));
         ASSERT_TRUE(reader.WritePreposition(0, 0, "New0", 3));
         EXPECT_EQ(dir.Inode("p.preset"), before);
         EXPECT_EQ(dir.Read("p.preset"), saved);
         ASSERT_TRUE(reader.SetAutoSave(true));
         EXPECT_EQ(dir.Read("p.preset"),
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Orvane>\n\t<PtzChannel01>\n\t\t<Preposition000>\n"
                   "\t\t\t<Name value=\"New0\"/>\n\t\t\t<Slot value=\"3\"/>\n\t\t</Preposition000>\n"
                   "\t</PtzChannel01>\n</Orvane>\n");
         EXPECT_FALSE(reader.ClearChannel(1)) << "no such channel";
       }},
      {"not XML is kept as .bad", "<Orvane><PtzChannel01>", nullptr, true,
       [](CXMLPrepositionReader&, const ScratchFolder& dir) {
         EXPECT_EQ(dir.Read("p.preset.bad"), "<Orvane><PtzChannel01>");
         EXPECT_EQ(dir.Read("p.preset"), kNewFile);
       }},
      {"another root is kept as .bad", "<Other/>", nullptr, true,
       [](CXMLPrepositionReader&, const ScratchFolder& dir) {
         EXPECT_EQ(dir.Read("p.preset.bad"), "<Other/>");
         EXPECT_EQ(dir.Read("p.preset"), kNewFile);
       }},
      {"an existing .bad is not overwritten", "junk", "older", false,
       [](CXMLPrepositionReader& reader, const ScratchFolder& dir) {
         EXPECT_EQ(dir.Read("p.preset.bad"), "older");
         EXPECT_EQ(dir.Read("p.preset"), "junk");
         EXPECT_FALSE(reader.WritePreposition(0, 0, "Gate", 1));
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

TEST(PrepositionReader, KeyMustBeOneUnsigned32BitNumber) {
  const struct { const char* slot; bool read; std::uint32_t key; } kRows[] = {
      {"0", true, 0}, {"4294967295", true, 4294967295u}, {"007", true, 7}, {"4294967296", false, 0},
      {"", false, 0}, {"-1", false, 0}, {"+1", false, 0}, {" 1", false, 0}, {"1 ", false, 0}, {"12a", false, 0},
  };
  for (const auto& row : kRows) {
    ScratchFolder dir;
    dir.Write("p.preset", "<Orvane><PtzChannel01>" + Preset(0, "Gate", row.slot) + "</PtzChannel01></Orvane>");
    CXMLPrepositionReader reader("Orvane");
    reader.SetBaseFolder(dir.path());
    ASSERT_TRUE(reader.Open("p.preset"));
    std::string name;
    std::uint32_t key = 99;
    EXPECT_EQ(reader.ReadPreposition(0, 0, name, key), row.read) << '"' << row.slot << '"';
    EXPECT_EQ(key, row.read ? row.key : 99) << '"' << row.slot << '"';
  }
}

TEST(PrepositionReader, OpenLeavesWhatItCannotReadAlone) {
  ScratchFolder dir;
  std::filesystem::create_directories(dir.File("p.preset/inside"));
  CXMLPrepositionReader reader("Orvane");
  reader.SetBaseFolder(dir.path());
  EXPECT_FALSE(reader.Open("p.preset"));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"p.preset"});
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
  CXMLPrepositionReader first("Orvane");
  first.SetBaseFolder(dir.path());
  ASSERT_TRUE(first.Open("p.preset"));
  ASSERT_TRUE(Rewrite(first, 0));
  std::uint32_t done = 0;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(report[0]);
      CXMLPrepositionReader reader("Orvane");
      reader.SetBaseFolder(dir.path());
      if (!reader.Open("p.preset")) ::_exit(1);
      for (std::uint32_t i = done + 1; i < done + 100000; ++i) {
        if (!Rewrite(reader, i) || ::write(report[1], &i, sizeof i) != sizeof i) ::_exit(2);
      }
      ::_exit(0);
    }
    ::close(report[1]);
    // Some rewrites done, then a random moment inside the next one.
    std::uint32_t i = 0;
    pollfd ready{report[0], POLLIN, 0};
    for (int n = static_cast<int>(random() % 3); n > 0; --n) {
      if (::poll(&ready, 1, 60000) == 1 && ::read(report[0], &i, sizeof i) == sizeof i) done = i;
    }
    ::usleep(static_cast<useconds_t>(random() % 3000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    while (::read(report[0], &i, sizeof i) == sizeof i) done = i;
    ::close(report[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own: " << WEXITSTATUS(status);

    CXMLPrepositionReader check("Orvane");
    check.SetBaseFolder(dir.path());
    ASSERT_TRUE(check.Open("p.preset"));
    std::string name;
    std::uint32_t key = 0;
    ASSERT_TRUE(check.ReadPreposition(0, 0, name, key));
    const std::uint32_t seen = static_cast<std::uint32_t>(std::stoul(name.substr(1)));
    ASSERT_TRUE(seen == done || seen == done + 1) << name << " after rewrite " << done;
    for (std::uint32_t p = 0; p <= seen % 20; ++p) {
      ASSERT_TRUE(check.ReadPreposition(0, p, name, key)) << p;
      EXPECT_EQ(name, RewriteName(seen, p));
      EXPECT_EQ(key, p);
    }
    EXPECT_FALSE(check.ReadPreposition(0, seen % 20 + 1, name, key));
    done = seen;
  }
  // Besides the file only the temporary files of saves cut short by a kill may remain; they are
  // never read, and nothing was found broken and kept as .bad.
  for (const auto& name : dir.Names()) {
    EXPECT_TRUE(name == "p.preset" || (name.size() == 15 && name.rfind("p.preset.", 0) == 0 && name != "p.preset.bad"))
        << name;
  }
}

// Two host threads write presets of two channels at once, each saved: none is lost.
TEST(PrepositionReader, ConcurrentWritersLoseNothing) {
  ScratchFolder dir;
  CXMLPrepositionReader reader("Orvane");
  reader.SetBaseFolder(dir.path());
  ASSERT_TRUE(reader.Open("p.preset"));
  const auto write_channel = [&](std::uint32_t channel) {
    for (std::uint32_t p = 0; p < 20; ++p) EXPECT_TRUE(reader.WritePreposition(channel, p, RewriteName(channel, p), p));
  };
  std::thread other(write_channel, 1);
  write_channel(2);
  other.join();
  CXMLPrepositionReader check("Orvane");
  check.SetBaseFolder(dir.path());
  ASSERT_TRUE(check.Open("p.preset"));
  for (std::uint32_t channel : {1u, 2u}) {
    for (std::uint32_t p = 0; p < 20; ++p) {
      std::string name;
      std::uint32_t key = 0;
      ASSERT_TRUE(check.ReadPreposition(channel, p, name, key)) << channel << "/" << p;
      EXPECT_EQ(name, RewriteName(channel, p));
    }
  }
}

}  // namespace
