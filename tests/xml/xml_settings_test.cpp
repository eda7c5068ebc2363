#include "xml/xml_settings.h"

#include <gtest/gtest.h>

#include <functional>

#include "scratch_folder.h"

namespace {

using tessavirn_test::ScratchFolder;

void OpensAsNotXml(CXMLSettingsAPI& doc, const ScratchFolder&) {
  EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kNotXml);
}

// Each row runs on a fresh folder holding "f.xml" with the row's content (nullptr: no file).
TEST(XmlSettings, DocumentOperations) {
  const struct {
    const char* label;
    const char* content;
    std::function<void(CXMLSettingsAPI&, const ScratchFolder&)> check;
  } kRows[] = {
      {"missing file", nullptr,
       [](CXMLSettingsAPI& doc, const ScratchFolder&) { EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kFail); }},
      {"empty file, then created: one declaration, also after a save", "",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         const std::string created = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root/>\n";
         EXPECT_EQ(doc.OpenDocument("f.xml"), CXMLSettingsAPI::kFail);
         ASSERT_EQ(doc.CreateDocument("Root", "f.xml"), 1);
         EXPECT_EQ(dir.Read("f.xml"), created);
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_EQ(doc.CreateDocument("Root", "g.xml"), 0) << "refused while open";
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), created);
       }},
      {"unclosed element", "<Root><A></Root>", OpensAsNotXml},
      {"text only", "presets", OpensAsNotXml},
      {"two root elements", "<A/><B/>", OpensAsNotXml},
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
      {"reads, and paths that cannot be written", "<Root><A other=\"x\"/><B value=\"T\xC3\xBCr\"/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder&) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         EXPECT_EQ(doc.ReadValue("/Root/A"), u"") << "no value attribute";
         EXPECT_EQ(doc.ReadValue("Root/%s", "B"), u"T\u00FCr");
         EXPECT_EQ(doc.ReadValue("/Root/["), u"") << "malformed XPath";
         EXPECT_FALSE(doc.WriteValue(u"x", "/Root/*/C")) << "not a plain path";
         EXPECT_FALSE(doc.WriteValue(u"x", "/Other")) << "a second root";
       }},
      {"write creates A and B, saved only on request", "<Root/>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.WriteValue(u"1", "/Root/A/B"));
         EXPECT_EQ(dir.Read("f.xml"), "<Root/>");
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
      {"removal takes every copy of a repeated element, nested ones too",
       "<Root><A><B/></A><A><B><B/></B></A><C/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.RemoveNode("//B"));
         EXPECT_FALSE(doc.NodeExists("//B"));
         ASSERT_TRUE(doc.RemoveNode("/Root/A"));
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), "<Root><C/></Root>\n");
       }},
      {"empty value attribute is set, not doubled; mode kept", "<Root><A value=\"\"/></Root>",
       [](CXMLSettingsAPI& doc, const ScratchFolder& dir) {
         ::chmod(dir.File("f.xml").c_str(), 0600);
         ASSERT_EQ(doc.OpenDocument("f.xml"), 0);
         ASSERT_TRUE(doc.WriteValue(u"x", "/Root/A"));
         ASSERT_TRUE(doc.SaveDocument());
         EXPECT_EQ(dir.Read("f.xml"), "<Root><A value=\"x\"/></Root>\n");
         struct stat status {};
         EXPECT_TRUE(::stat(dir.File("f.xml").c_str(), &status) == 0 && (status.st_mode & 07777) == 0600);
         EXPECT_EQ(dir.Names(), std::set<std::string>{"f.xml"}) << "no temporary file left";
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
