#include "storage/xml.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "runtime/error.h"
#include "runtime/xml_chars.h"

namespace tsa {
namespace {

namespace fs = std::filesystem;

// A product tree: root 0 with categories 1 and 2; 1 has questions 3 and 4;
// 4 has answer 5, which shows the same entity as 3.
constexpr const char* kTree =
    "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";1;2;\" PRID=\"7\" FAQ=\"0\"><sd>Product</sd><ld/>"
    "<Node NID=\"1\" RID=\"11\" RTP=\"1\" VISB=\";1;\" HYP=\"-1\" FAQ=\"0\"><sd>Cat 1</sd><ld/>"
    "<Node NID=\"3\" RID=\"5\" RTP=\"2\" VISB=\";1;\" HYP=\"-1\" FAQ=\"0\"><sd>Q3</sd><ld/></Node>"
    "<Node NID=\"4\" RID=\"6\" RTP=\"2\" VISB=\";1;\" HYP=\"-1\" FAQ=\"1\"><sd>Q4</sd><ld/>"
    "<Node NID=\"5\" RID=\"5\" RTP=\"2\" VISB=\";1;\" HYP=\"3\" FAQ=\"0\"><sd>Q3 again</sd><ld/></Node>"
    "</Node></Node>"
    "<Node NID=\"2\" RID=\"12\" RTP=\"1\" VISB=\";2;\" HYP=\"-1\" FAQ=\"0\"><sd>Cat 2</sd><ld/></Node>"
    "</Node>";

XmlDoc TreeDoc() {
  XmlDoc doc = XmlDoc::Create();
  EXPECT_TRUE(doc.LoadXml(kTree)) << doc.LastError();
  return doc;
}

std::vector<std::string> Nids(const std::vector<XmlElement>& elements) {
  std::vector<std::string> out;
  for (const auto& e : elements) out.push_back(e.GetAttribute("NID").value_or("?"));
  return out;
}

int32_t ErrorNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

class XmlFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tsa_xml_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(XmlTest, SavedMarkupIsCompactWithoutDeclaration) {
  XmlDoc doc = TreeDoc();
  EXPECT_EQ(doc.Xml(), kTree);
  XmlElement q3 = doc.SelectSingleNode("//Node[@NID='3']");
  EXPECT_EQ(q3.Xml(), "<Node NID=\"3\" RID=\"5\" RTP=\"2\" VISB=\";1;\" HYP=\"-1\" FAQ=\"0\"><sd>Q3</sd><ld/></Node>");
}

TEST_F(XmlFileTest, AwkwardTextsSurviveSaveAndLoad) {
  const std::string attribute = "a\"b'c<d>e&f;\r\n\tg &amp; \xC3\xA9";
  const std::string shortText = "  <b>bold</b> & \"quoted\" ]]> \r\nnext line  ";
  const std::string blanks = "   ";
  XmlDoc doc = XmlDoc::Create();
  XmlElement root = doc.CreateDocumentElement("Node");
  root.SetAttribute("VISB", attribute);
  root.AppendNewChild("sd").SetText(shortText);
  root.AppendNewChild("ld").SetText(blanks);

  std::string path = (dir_ / "1_0.xml").string();
  doc.Save(path);
  XmlDoc fromFile = XmlDoc::Create();
  ASSERT_TRUE(fromFile.Load(path)) << fromFile.LastError();
  XmlDoc fromString = XmlDoc::Create();
  ASSERT_TRUE(fromString.LoadXml(doc.Xml())) << fromString.LastError();
  for (const XmlDoc& loaded : {fromFile, fromString}) {
    XmlElement r = loaded.DocumentElement();
    EXPECT_EQ(r.GetAttribute("VISB"), attribute);
    EXPECT_EQ(r.ChildText("sd"), shortText);
    EXPECT_EQ(r.ChildText("ld"), blanks);
    // Markup in a text stays text: no element was created from it.
    EXPECT_TRUE(r.SelectSingleNode("./sd/b").IsNull());
  }
  // No temporary file is left beside the document.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST(XmlTest, NulCannotBeStored) {
  XmlDoc doc = XmlDoc::Create();
  XmlElement root = doc.CreateDocumentElement("Node");
  EXPECT_EQ(ErrorNumber([&] { root.SetAttribute("VISB", std::string("a\0b", 3)); }), err::InvalidProcedureCall);
  EXPECT_EQ(ErrorNumber([&] { root.SetText(std::string("a\0b", 3)); }), err::InvalidProcedureCall);
  EXPECT_FALSE(root.HasAttribute("VISB"));

  // Nor the other control characters no document can hold: written as
  // references they would make markup no conforming parser reads. Tab, line
  // feed and carriage return are stored as they are.
  EXPECT_EQ(ErrorNumber([&] { root.SetText("bell\x07"); }), err::InvalidProcedureCall);
  EXPECT_EQ(ErrorNumber([&] { root.SetAttribute("VISB", "\x1f"); }), err::InvalidProcedureCall);
  EXPECT_FALSE(root.HasAttribute("VISB"));
  EXPECT_EQ(doc.Xml().find("&#"), std::string::npos) << doc.Xml();
  root.SetText("a\tb\nc\rd");
  XmlDoc again = XmlDoc::Create();
  ASSERT_TRUE(again.LoadXml(doc.Xml()));
  EXPECT_EQ(again.DocumentElement().Text(), "a\tb\nc\rd");
}

// Beyond the controls: the noncharacters U+FFFE and U+FFFF, surrogates and
// bytes that are not UTF-8 are refused when set; a document loaded with them
// (from an older store) is not written back, neither as markup nor as a file.
TEST(XmlCharacters, SettersRefuseAndTheWriterWritesNoDocumentXmlCannotHold) {
  XmlDoc doc = XmlDoc::Create();
  XmlElement root = doc.CreateDocumentElement("Node");
  for (const std::string bad : {"a\uFFFEb", "\uFFFF", "\xED\xA0\x80", "caf\xE9", "\xF4\x90\x80\x80", "\xC0\xAF"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ErrorNumber([&] { root.SetText(bad); }), err::InvalidProcedureCall);
    EXPECT_EQ(ErrorNumber([&] { root.SetAttribute("VISB", bad); }), err::InvalidProcedureCall);
  }
  const std::string fine = "\uFFFD \uE000 \U0010FFFF \U0001F600 \x7F \uD7FF";
  root.SetText(fine);
  root.SetAttribute("VISB", fine);
  XmlDoc again = XmlDoc::Create();
  ASSERT_TRUE(again.LoadXml(doc.Xml()));
  EXPECT_EQ(again.DocumentElement().Text(), fine);

  const fs::path dir = fs::temp_directory_path() / ("tsa_xmlchars_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (const std::string markup :
       {"<Node><sd>a&#xFFFE;b</sd></Node>", "<Node VISB=\"&#65535;\"/>", "<Node><sd>&#1;</sd></Node>",
        "<Node><sd>a\xEF\xBF\xBE" "b</sd></Node>", "<Node><sd>&#xD800;</sd></Node>"}) {
    SCOPED_TRACE(markup);
    XmlDoc loaded = XmlDoc::Create();
    ASSERT_TRUE(loaded.LoadXml(markup)) << loaded.LastError();  // the parser is lenient here
    EXPECT_EQ(ErrorNumber([&] { loaded.Xml(); }), err::DocumentNotWritable);
    EXPECT_EQ(ErrorNumber([&] { loaded.DocumentElement().Xml(); }), err::DocumentNotWritable);
    const fs::path file = dir / "t.xml";
    EXPECT_EQ(ErrorNumber([&] { loaded.Save(file.string()); }), err::DocumentNotWritable);
    EXPECT_FALSE(fs::exists(file));
  }
  fs::remove_all(dir);
}

TEST_F(XmlFileTest, FailedLoadsReturnFalseAndLeaveTheDocumentEmpty) {
  XmlDoc doc = TreeDoc();
  XmlElement held = doc.DocumentElement();
  EXPECT_FALSE(doc.Load((dir_ / "missing.xml").string()));
  EXPECT_FALSE(doc.LastError().empty());
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  EXPECT_TRUE(held.IsNull());  // the former content is gone

  for (const char* markup : {"<Node NID=\"1\"><sd/>", "", "<a/><b/>", "just text", "<a></b>"}) {
    EXPECT_FALSE(doc.LoadXml(markup)) << markup;
    EXPECT_TRUE(doc.DocumentElement().IsNull()) << markup;
  }
  std::ofstream(dir_ / "bad.xml") << "<Node><sd></Node>";
  EXPECT_FALSE(doc.Load((dir_ / "bad.xml").string()));

  // A declaration and comments around the element are accepted; the
  // declaration is not written back.
  ASSERT_TRUE(doc.LoadXml("<?xml version=\"1.0\"?>\n<!-- c -->\n<Node NID=\"0\">\n  <sd>x</sd>\n</Node>\n"));
  EXPECT_EQ(doc.DocumentElement().ChildText("sd"), "x");
  EXPECT_EQ(doc.Xml().find("<?xml"), std::string::npos);
}

TEST_F(XmlFileTest, SaveIntoMissingFolderFails) {
  XmlDoc doc = TreeDoc();
  EXPECT_EQ(ErrorNumber([&] { doc.Save((dir_ / "no" / "such" / "1_0.xml").string()); }), err::PathNotFound);
}

TEST(XmlTest, XPathExpressionsOfTheTreeDocuments) {
  XmlDoc doc = TreeDoc();
  XmlElement root = doc.DocumentElement();

  XmlElement n5 = doc.SelectSingleNode("/Node[@NID=\"0\"]/Node[@NID=\"1\"]/Node[@NID=\"4\"]/Node[@NID=\"5\"]");
  ASSERT_FALSE(n5.IsNull());
  EXPECT_EQ(n5.ChildText("sd"), "Q3 again");
  EXPECT_TRUE(doc.SelectSingleNode("/Node[@NID=\"0\"]/Node[@NID=\"5\"]").IsNull());

  EXPECT_EQ(Nids(root.SelectNodes("./Node")), (std::vector<std::string>{"1", "2"}));
  XmlElement n1 = root.SelectSingleNode("./Node");
  EXPECT_EQ(Nids(n1.SelectNodes("./Node[@NID!='3']")), (std::vector<std::string>{"4"}));
  EXPECT_EQ(Nids(doc.SelectNodes("//Node[@RID='5' and @RTP='2']")), (std::vector<std::string>{"3", "5"}));
  EXPECT_EQ(Nids(n5.SelectNodes("//Node[@RID='5' and @RTP='2']")), (std::vector<std::string>{"3", "5"}));
  EXPECT_EQ(Nids(n1.SelectNodes("./descendant-or-self::Node")), (std::vector<std::string>{"1", "3", "4", "5"}));
  EXPECT_EQ(n1.SelectSingleNode("./sd").Text(), "Cat 1");
  EXPECT_EQ(doc.SelectSingleNode("/Node/sd").Text(), "Product");
  EXPECT_TRUE(root.SelectSingleNode("./Node[@NID='9']").IsNull());

  // The same element found twice is the same element.
  EXPECT_EQ(doc.SelectSingleNode("//Node[@NID='4']"), n1.SelectNodes("./Node")[1]);
  EXPECT_EQ(n5.Parent().GetAttribute("NID"), "4");
  EXPECT_TRUE(root.Parent().IsNull());

  EXPECT_EQ(ErrorNumber([&] { doc.SelectNodes("//Node[@NID="); }), err::InvalidProcedureCall);
  EXPECT_EQ(ErrorNumber([&] { doc.SelectNodes("count(//Node)"); }), err::InvalidProcedureCall);

  // The plain walk finds what the XPath scan finds, in the same order,
  // however deep the elements sit and whatever follows them.
  auto rid5 = [](std::string_view v) { return v == "5"; };
  EXPECT_EQ(Nids(doc.ElementsWhere("Node", "RID", rid5)), Nids(doc.SelectNodes("//Node[@RID='5']")));
  EXPECT_EQ(Nids(doc.ElementsWhere("Node", "NID", [](std::string_view) { return true; })),
            Nids(doc.SelectNodes("//Node[@NID]")));
  EXPECT_TRUE(doc.ElementsWhere("sd", "NID", [](std::string_view) { return true; }).empty());
  EXPECT_EQ(doc.ElementsWhere("Node", "NID", [](std::string_view v) { return v == "5"; }).front(), n5);
}

TEST(XmlTest, AttributesKeepTheirPlaceAndNewOnesGoLast) {
  XmlDoc doc = TreeDoc();
  XmlElement n3 = doc.SelectSingleNode("//Node[@NID='3']");
  n3.SetAttribute("VISB", ";1;4;");
  n3.SetAttribute("NEW", "x");
  EXPECT_EQ(n3.Xml(),
            "<Node NID=\"3\" RID=\"5\" RTP=\"2\" VISB=\";1;4;\" HYP=\"-1\" FAQ=\"0\" NEW=\"x\"><sd>Q3</sd><ld/></Node>");
  EXPECT_EQ(n3.GetAttribute("MISSING"), std::nullopt);
  n3.SetChildText("ld", "detail");
  EXPECT_EQ(n3.ChildText("ld"), "detail");
  EXPECT_EQ(ErrorNumber([&] { n3.ChildText("xx"); }), err::ObjectNotSet);
  EXPECT_EQ(ErrorNumber([&] { n3.SetChildText("xx", "y"); }), err::ObjectNotSet);
}

TEST(XmlTest, MovingAnElementBetweenDocumentsRebindsItsHandles) {
  XmlDoc tree = TreeDoc();
  XmlDoc own = XmlDoc::Create();
  ASSERT_TRUE(own.LoadXml("<Node NID=\"9\" RID=\"1\" RTP=\"2\" VISB=\";1;\" HYP=\"-1\" FAQ=\"0\"><sd>New</sd><ld/>"
                          "<Node NID=\"10\" RID=\"2\" RTP=\"3\" VISB=\";1;\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node>"
                          "</Node>"));
  XmlElement element = own.DocumentElement();
  XmlElement child = element.SelectSingleNode("./Node");
  XmlElement parent = tree.SelectSingleNode("//Node[@NID='3']");

  XmlElement moved = parent.AppendChild(element);
  EXPECT_EQ(moved, element);
  EXPECT_EQ(element.OwnerDocument(), tree);
  EXPECT_EQ(child.OwnerDocument(), tree);
  EXPECT_TRUE(own.DocumentElement().IsNull());  // the original is gone from its document
  EXPECT_EQ(own.Xml(), "");

  // Changes through the old handles show in the tree document.
  element.SetAttribute("VISB", ";1;2;");
  child.SetChildText("sd", "Answer");
  XmlElement found = tree.SelectSingleNode("/Node[@NID=\"0\"]/Node[@NID=\"1\"]/Node[@NID=\"3\"]/Node[@NID=\"9\"]");
  EXPECT_EQ(found, element);
  EXPECT_EQ(found.GetAttribute("VISB"), ";1;2;");
  EXPECT_EQ(tree.SelectSingleNode("//Node[@NID='10']").ChildText("sd"), "Answer");
  EXPECT_EQ(Nids(parent.SelectNodes("./Node")), (std::vector<std::string>{"9"}));

  // An element whose document nobody else holds.
  XmlElement lone = [] {
    XmlDoc d = XmlDoc::Create();
    XmlElement e = d.CreateDocumentElement("Node");
    e.SetAttribute("NID", "11");
    return e;
  }();
  parent.AppendChild(lone);
  EXPECT_EQ(lone.OwnerDocument(), tree);
  EXPECT_EQ(Nids(parent.SelectNodes("./Node")), (std::vector<std::string>{"9", "11"}));

  // A pasted subtree: from one tree document into another, before a sibling.
  XmlDoc other = TreeDoc();
  XmlElement source = other.SelectSingleNode("//Node[@NID='4']");
  XmlElement sourceChild = source.SelectSingleNode("./Node");
  XmlElement root = tree.DocumentElement();
  root.InsertBefore(source, root.SelectSingleNode("./Node[@NID='2']"));
  EXPECT_EQ(Nids(root.SelectNodes("./Node")), (std::vector<std::string>{"1", "4", "2"}));
  EXPECT_EQ(sourceChild.Parent(), source);
  EXPECT_EQ(sourceChild.OwnerDocument(), tree);
  EXPECT_TRUE(other.SelectSingleNode("//Node[@NID='4']").IsNull());
  EXPECT_EQ(Nids(other.SelectNodes("//Node")), (std::vector<std::string>{"0", "1", "3", "2"}));
}

TEST(XmlTest, MovingWithinADocumentReordersSiblings) {
  XmlDoc doc = TreeDoc();
  XmlElement n1 = doc.SelectSingleNode("//Node[@NID='1']");
  XmlElement n3 = doc.SelectSingleNode("//Node[@NID='3']");
  XmlElement n4 = doc.SelectSingleNode("//Node[@NID='4']");
  EXPECT_EQ(n1.InsertBefore(n4, n3), n4);
  EXPECT_EQ(Nids(n1.SelectNodes("./Node")), (std::vector<std::string>{"4", "3"}));
  n1.InsertBefore(n3, n4);
  n1.AppendChild(n3);  // already last: stays
  EXPECT_EQ(Nids(n1.SelectNodes("./Node")), (std::vector<std::string>{"4", "3"}));

  std::string before = doc.Xml();
  EXPECT_EQ(ErrorNumber([&] { n4.AppendChild(n1); }), err::InvalidProcedureCall);  // below itself
  EXPECT_EQ(ErrorNumber([&] { n4.AppendChild(n4); }), err::InvalidProcedureCall);
  XmlElement root = doc.DocumentElement();
  EXPECT_EQ(ErrorNumber([&] { root.InsertBefore(n4, n3); }), err::InvalidProcedureCall);  // n3 is not root's child
  EXPECT_EQ(doc.Xml(), before);
}

TEST(XmlTest, RemovedElementsLeaveNullHandles) {
  XmlDoc doc = TreeDoc();
  XmlElement n1 = doc.SelectSingleNode("//Node[@NID='1']");
  XmlElement n4 = doc.SelectSingleNode("//Node[@NID='4']");
  XmlElement n5 = doc.SelectSingleNode("//Node[@NID='5']");
  XmlElement n2 = doc.SelectSingleNode("//Node[@NID='2']");
  XmlElement copyOfN4 = n4;

  n1.RemoveChild(n4);
  EXPECT_TRUE(n4.IsNull());
  EXPECT_TRUE(copyOfN4.IsNull());
  EXPECT_TRUE(n5.IsNull());
  EXPECT_EQ(ErrorNumber([&] { n4.GetAttribute("NID"); }), err::ObjectNotSet);
  EXPECT_EQ(ErrorNumber([&] { n1.AppendChild(n5); }), err::ObjectNotSet);
  EXPECT_FALSE(n2.IsNull());
  EXPECT_EQ(Nids(doc.SelectNodes("//Node")), (std::vector<std::string>{"0", "1", "3", "2"}));
  EXPECT_EQ(ErrorNumber([&] { n1.RemoveChild(n2); }), err::InvalidProcedureCall);  // not its child

  // Replacing an element's content removes the elements below it.
  XmlElement n3 = doc.SelectSingleNode("//Node[@NID='3']");
  n1.SetText("flat");
  EXPECT_TRUE(n3.IsNull());
  EXPECT_EQ(n1.Text(), "flat");

  XmlElement null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null, XmlElement());
  EXPECT_EQ(ErrorNumber([&] { null.Name(); }), err::ObjectNotSet);
  EXPECT_EQ(ErrorNumber([&] { n2.AppendChild(null); }), err::ObjectNotSet);
  EXPECT_EQ(ErrorNumber([&] { XmlDoc().Xml(); }), err::ObjectNotSet);
}

TEST(XmlTest, AnElementKeepsItsDocumentAlive) {
  XmlElement element;
  {
    XmlDoc doc = TreeDoc();
    element = doc.SelectSingleNode("//Node[@NID='4']");
  }
  EXPECT_EQ(element.ChildText("sd"), "Q4");
  EXPECT_EQ(element.OwnerDocument().DocumentElement().GetAttribute("PRID"), "7");
}

TEST(XmlTest, DocumentElementFromAnotherDocument) {
  XmlDoc own = XmlDoc::Create();
  XmlElement root = own.CreateDocumentElement("Node");
  root.SetAttribute("NID", "0");
  root.AppendNewChild("sd").SetText("Template");

  XmlDoc doc = XmlDoc::Create();
  XmlElement old = doc.CreateDocumentElement("Old");
  EXPECT_EQ(doc.SetDocumentElement(root), root);
  EXPECT_TRUE(old.IsNull());
  EXPECT_EQ(doc.Xml(), "<Node NID=\"0\"><sd>Template</sd></Node>");
  EXPECT_EQ(doc.SelectSingleNode("/Node/sd").Text(), "Template");
  EXPECT_TRUE(own.DocumentElement().IsNull());

  // An element of the same document becomes the document element.
  XmlElement sd = doc.SelectSingleNode("/Node/sd");
  doc.SetDocumentElement(sd);
  EXPECT_EQ(doc.Xml(), "<sd>Template</sd>");
  EXPECT_TRUE(root.IsNull());
}

}  // namespace
}  // namespace tsa
