#include "model/propagation.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/db/connection.h"
#include "service/error.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa {
namespace {

std::optional<Error> Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

XmlDoc Parse(const std::string& markup) {
  XmlDoc doc = XmlDoc::Create();
  EXPECT_TRUE(doc.LoadXml(markup)) << doc.LastError();
  return doc;
}

std::string Attr(const XmlDoc& doc, const std::string& nid, const std::string& name) {
  XmlElement e = doc.SelectSingleNode("//Node[@NID='" + nid + "']");
  return e.IsNull() ? "<no element>" : e.GetAttribute(name).value_or("<none>");
}

// --- one document -------------------------------------------------------------

TEST(ChangeNodeDescs, RewritesEveryElementOfTheEntityOnly) {
  XmlDoc doc = Parse(
      "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";\" PRID=\"12\" FAQ=\"0\"><sd>Printer</sd><ld/>"
      "<Node NID=\"1\" RID=\"5\" RTP=\"2\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>old</sd><ld>old long</ld>"
      "<Node NID=\"2\" RID=\"5\" RTP=\"3\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>answer 5</sd><ld>a</ld></Node>"
      "<Node NID=\"3\" RID=\"5\" RTP=\"2\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>old</sd><ld><b>x</b></ld>"
      "<Node NID=\"4\" RID=\"55\" RTP=\"2\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>q 55</sd><ld/></Node>"
      "</Node></Node></Node>");
  const std::string sd = "Is it \"on\"? <yes> & 'no' — ja";
  const std::string ld = "Größe\r\n日本";
  changeNodeDescsForXML(doc, 2, 5, sd, ld);
  for (const char* nid : {"1", "3"}) {
    XmlElement e = doc.SelectSingleNode(std::string("//Node[@NID='") + nid + "']");
    EXPECT_EQ(e.ChildText("sd"), sd);
    EXPECT_EQ(e.ChildText("ld"), ld);
  }
  // The children of a rewritten element stay where they were.
  EXPECT_EQ(doc.SelectNodes("//Node[@NID='3']/Node").size(), 1u);
  // Same identifier, other type; other identifier with the same digits.
  EXPECT_EQ(doc.SelectSingleNode("//Node[@NID='2']").ChildText("sd"), "answer 5");
  EXPECT_EQ(doc.SelectSingleNode("//Node[@NID='4']").ChildText("sd"), "q 55");
  EXPECT_EQ(doc.DocumentElement().ChildText("sd"), "Printer");

  // The texts survive a round trip through markup.
  XmlDoc again = Parse(doc.Xml());
  EXPECT_EQ(again.SelectSingleNode("//Node[@NID='1']").ChildText("sd"), sd);
  EXPECT_EQ(again.SelectSingleNode("//Node[@NID='1']").ChildText("ld"), ld);
}

TEST(ChangeNodeDescs, AMatchedElementWithoutDescriptionsFails) {
  test::RecordingLog log;
  XmlDoc doc = Parse(
      "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";\" PRID=\"1\" FAQ=\"0\"><sd/><ld/>"
      "<Node NID=\"1\" RID=\"8\" RTP=\"4\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>s</sd></Node></Node>");
  auto e = Failure([&] { changeNodeDescsForXML(doc, 4, 8, "new", "new"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::ObjectNotSet);
  EXPECT_NE(e->description().find("METHOD: TSUtilities.changeNodeDescsForXML caught:"), std::string::npos);
}

// --- visibility down a subtree ---------------------------------------------------

constexpr const char* kSubtree =
    "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";1;2;3;\" PRID=\"4\" FAQ=\"0\"><sd/><ld/>"
    "<Node NID=\"9\" RID=\"3\" RTP=\"2\" VISB=\";1;2;\" HYP=\"4\" FAQ=\"0\"><sd/><ld/>"
    "<Node NID=\"12\" RID=\"4\" RTP=\"3\" VISB=\";2;\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node>"
    "</Node>"
    "<Node NID=\"13\" RID=\"5\" RTP=\"3\" VISB=\";2;\" HYP=\"9\" FAQ=\"0\"><sd/><ld/></Node>"
    "</Node>";

TEST(UpdateSelfAndDescendants, RemovesThenAddsOverTheSubtreeOnly) {
  for (bool add : {true, false}) {
    SCOPED_TRACE(add);
    XmlDoc doc = Parse(kSubtree);
    XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
    UpdateSelfAndDescendantNodes(top, ";5;", ";2;", add);
    EXPECT_EQ(Attr(doc, "9", "VISB"), add ? ";1;5;" : ";1;");
    EXPECT_EQ(Attr(doc, "12", "VISB"), add ? ";5;" : ";");
    // Outside the subtree nothing changes, and without an offset neither
    // identifiers nor links do.
    EXPECT_EQ(Attr(doc, "13", "VISB"), ";2;");
    EXPECT_EQ(Attr(doc, "0", "VISB"), ";1;2;3;");
    EXPECT_EQ(Attr(doc, "9", "HYP"), "4");
  }
  // Empty lists change nothing.
  XmlDoc doc = Parse(kSubtree);
  XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
  UpdateSelfAndDescendantNodes(top, "", "", true);
  EXPECT_EQ(Attr(doc, "9", "VISB"), ";1;2;");
  EXPECT_EQ(Attr(doc, "12", "VISB"), ";2;");
}

TEST(UpdateSelfAndDescendants, OffsetRenumbersAndClearsLinks) {
  XmlDoc doc = Parse(kSubtree);
  XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
  UpdateSelfAndDescendantNodes(top, "", "", false, 91);
  EXPECT_EQ(top.GetAttribute("NID"), "100");
  EXPECT_EQ(top.GetAttribute("HYP"), "-1");
  XmlElement child = doc.SelectSingleNode("//Node[@NID='103']");
  ASSERT_FALSE(child.IsNull());
  EXPECT_EQ(child.GetAttribute("HYP"), "-1");
  EXPECT_EQ(child.Parent(), top);
  EXPECT_EQ(Attr(doc, "13", "HYP"), "9");

  // An element that is in no document that will be saved works the same.
  XmlDoc loose = Parse("<Node NID=\"2\" RID=\"1\" RTP=\"2\" VISB=\";7;\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement e = loose.DocumentElement();
  UpdateSelfAndDescendantNodes(e, ";8;", ";7;", true, -1);
  EXPECT_EQ(e.GetAttribute("NID"), "1");
  EXPECT_EQ(e.GetAttribute("VISB"), ";8;");
}

TEST(UpdateSelfAndDescendants, BadElementsFailUnderTheLabel) {
  test::RecordingLog log;
  const std::string label = "METHOD: HXSvcTroubleshooting.TSUtilities.UpdateSelfAndDescendantNodes caught:";
  XmlDoc doc = Parse(
      "<Node NID=\"1\" RID=\"1\" RTP=\"2\" VISB=\";2;\" HYP=\"3\" FAQ=\"0\"><sd/><ld/>"
      "<Node NID=\"2\" RID=\"1\" RTP=\"3\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node></Node>");
  XmlElement top = doc.DocumentElement();
  auto e = Failure([&] { UpdateSelfAndDescendantNodes(top, "", ";2;", false); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::InvalidUseOfNull);
  EXPECT_NE(e->description().find(label), std::string::npos);

  XmlDoc bad = Parse("<Node NID=\"x1\" RID=\"1\" RTP=\"2\" VISB=\";\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement badTop = bad.DocumentElement();
  EXPECT_EQ(Failure([&] { UpdateSelfAndDescendantNodes(badTop, "", "", false, 1); })->number(), err::TypeMismatch);
  XmlDoc big = Parse("<Node NID=\"2147483647\" RID=\"1\" RTP=\"2\" VISB=\";\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement bigTop = big.DocumentElement();
  EXPECT_EQ(Failure([&] { UpdateSelfAndDescendantNodes(bigTop, "", "", false, 1); })->number(), err::Overflow);
  EXPECT_EQ(bigTop.GetAttribute("NID"), "2147483647");
}

}  // namespace
}  // namespace tsa
