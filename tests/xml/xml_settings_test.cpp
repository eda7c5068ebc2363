#include "xml/xml_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "scratch_folder.h"
#include "xml/text_conversion.h"

namespace {

using tessavirn_test::ScratchFolder;

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

TEST(TextConversion, MalformedInputConvertsToNothing) {
  const struct { const char* label; std::string utf8; std::u16string utf16; } kRows[] = {
      {"ASCII", "Gate", u"Gate"},
      {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u00E9\u20AC\U0001F600"},
      {"overlong slash", "a\xC0\xAF", u""},
      {"overlong three bytes", "\xE0\x80\xAF", u""},
      {"encoded surrogate", "\xED\xA0\x80", u""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u""},
      {"truncated sequence", "a\xE2\x82", u""},
      {"stray continuation", "\x80" "a", u""},
      {"invalid lead byte", "\xF8\x88\x80\x80\x80", u""},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(kalmora::Utf8ToUtf16(row.utf8), row.utf16) << row.label;
    if (!row.utf16.empty()) {
      EXPECT_EQ(kalmora::Utf16ToUtf8(row.utf16), row.utf8) << row.label;
    }
  }
  EXPECT_EQ(kalmora::Utf16ToUtf8(u"a\xD800"), "") << "lone high surrogate";
  EXPECT_EQ(kalmora::Utf16ToUtf8(u"\xDC00" "a"), "") << "lone low surrogate";
}

// Each row runs on a fresh folder holding "f.xml" with the row's content (none: no file).
TEST(XmlSettings, DocumentOperations) {
  const struct {
    const char* label;
    const char* content;
    std::function<void(CXMLSettingsAPI&, const ScratchFolder&)> check;
  } kRows[] = {
      {"missing file", nullptr,
       [](CXMLSettingsAPI& doc, const ScratchFolder&) {
         EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kFail);
         EXPECT_EQ(doc.RootName(), "");
       }},
      {"empty file, then created and opened", "",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kFail);
         ASSERT_EQ(doc.CreateDocument("Root", "f.xml"), 1);
         EXPECT_EQ(dir.Read("f.xml"), std::string(kDeclaration) + "<Root/>\n");
         EXPECT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_EQ(doc.CreateDocument("Root", "g.xml"), 0) << "refused while open";
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), std::string(kDeclaration) + "<Root/>\n") << "still one declaration";
       }},
      {"unclosed element", "<Root><A></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) { EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kNotXml); }},
      {"text only", "presets",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) { EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kNotXml); }},
      {"two root elements", "<A/><B/>",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) { EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kNotXml); }},
      {"nested open needs two closes", "<Root><A value=\"1\"/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_EQ(doc.OpenDocument("other.xml"), 0);
         EXPECT_EQ(doc.CloseDocument(), 1);
         EXPECT_EQ(doc.ReadValue("/Root/A"), u"1");
         EXPECT_EQ(doc.CloseDocument(), 0);
         EXPECT_EQ(doc.ReadValue("/Root/A"), u"");
         EXPECT_FALSE(doc.WriteValue(u"2", "/Root/A"));
         EXPECT_FALSE(doc.SaveDocument());
       }},
      {"values and missing values", "<Root><A other=\"x\"/><B value=\"T\xC3\xBCr\"/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_EQ(doc.ReadValue("/Root/A"), u"");
         EXPECT_EQ(doc.ReadValue("Root/%s", "B"), u"T\u00FCr");
         EXPECT_EQ(doc.ReadValue("/Root/["), u"") << "malformed XPath";
         EXPECT_FALSE(doc.WriteValue(u"x", "/Root/*/C")) << "not a plain path";
         EXPECT_FALSE(doc.WriteValue(u"x", "/Other")) << "a second root";
       }},
      {"write creates A and B, saved only on request", "<Root />",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.WriteValue(u"1", "/Root/A/B"));
         EXPECT_EQ(dir.Read("f.xml"), "<Root />");
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), "<Root>\n\t<A>\n\t\t<B value=\"1\"/>\n\t</A>\n</Root>\n");
         CXMLSettingsAPI reloaded;
         reloaded.SetBaseFolder(dir.path());
         ASSERT_EQ(reloaded.OpenDocument("f.xml"), 0);
         EXPECT_EQ(reloaded.ReadValue("/Root/A/B"), u"1");
       }},
      {"removal and rewrite keep the layout", "<Root>\n\t<A>\n\t\t<B value=\"1\"/>\n\t\t<C/>\n\t</A>\n</Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_FALSE(doc.RemoveNode("/Root/A/Missing"));
         EXPECT_FALSE(doc.RemoveNode("/Root")) << "the root stays";
         ASSERT_TRUE(doc.RemoveNode("/Root/A/B"));
         ASSERT_TRUE(doc.WriteValue(u"2", "/Root/A/D"));
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), "<Root>\n\t<A>\n\t\t<C/>\n\t\t<D value=\"2\"/>\n\t</A>\n</Root>\n");
       }},
      {"empty value attribute is set, not doubled", "<Root><A value=\"\"/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.WriteValue(u"x", "/Root/A"));
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), "<Root><A value=\"x\"/></Root>\n");
       }},
      {"save keeps the file mode and leaves no temporary file", "<Root/>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ::chmod(dir.File("f.xml").c_str(), 0600);
         const ino_t before = dir.Inode("f.xml");
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.SaveDocument());
         struct stat status {};
         ASSERT_EQ(::stat(dir.File("f.xml").c_str(), &status), 0);
         EXPECT_EQ(status.st_mode & 07777, 0600u);
         EXPECT_NE(status.st_ino, before) << "replaced by rename, not rewritten in place";
         EXPECT_EQ(dir.Names(), std::vector<std::string>{"f.xml"});
       }},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.label);
    ScratchFolder dir;
    if (row.content != nullptr) dir.Write("f.xml", row.content);
    CXMLSettingsAPI doc;
    doc.SetBaseFolder(dir.path());
    row.check(doc, dir);
  }
}

}  // namespace
