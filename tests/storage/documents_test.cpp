#include "storage/documents.h"

#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/error.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa::storage {
namespace {

// Runs `f`, expecting an error; returns it.
Error Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return Error(ErrorInfo{});
}

TEST(DocumentsTest, IncrementFileVersion) {
  test::RecordingLog log;
  EXPECT_EQ(IncrementFileVersion("12_0.xml"), "12_1.xml");
  EXPECT_EQ(IncrementFileVersion("7_9.xml"), "7_10.xml");
  EXPECT_EQ(IncrementFileVersion("12_09.xml"), "12_10.xml");
  EXPECT_EQ(IncrementFileVersion("12_3_4.xml"), "12_4.xml");
  EXPECT_EQ(IncrementFileVersion("12_2147483646.xml"), "12_2147483647.xml");
  EXPECT_EQ(log.Count(), 0u);

  const std::string label = "METHOD: HXSvcTroubleshooting.TSUtilities.IncrementFileVersion caught: ";
  struct Case {
    const char* name;
    int32_t number;
  };
  for (Case c : {Case{"12.xml", err::SubscriptOutOfRange}, Case{"xml", err::InvalidProcedureCall},
                 Case{"12_a.xml", err::TypeMismatch}, Case{"12_.xml", err::TypeMismatch},
                 Case{"12_-1.xml", err::TypeMismatch}, Case{"12_2147483647.xml", err::Overflow},
                 Case{"12_99999999999999999999.xml", err::Overflow}}) {
    Error e = Failure([&] { IncrementFileVersion(c.name); });
    EXPECT_EQ(e.number(), c.number) << c.name;
    EXPECT_EQ(e.description().rfind("\r\n" + label, 0), 0u) << e.description();
  }
  EXPECT_EQ(log.Count(), 7u);
}

TEST(DocumentsTest, XPathFromPreTree) {
  test::RecordingLog log;
  EXPECT_EQ(getXPATHfromPreTree(";0;5;9;"), "/Node[@NID=\"0\"]/Node[@NID=\"5\"]/Node[@NID=\"9\"]");
  EXPECT_EQ(getXPATHfromPreTree(";0;"), "/Node[@NID=\"0\"]");
  EXPECT_EQ(getXPATHfromPreTree(";"), "");
  EXPECT_EQ(getXPATHfromPreTree(""), "");
  // Nothing but node identifiers reaches the expression.
  for (const char* path : {";0;5\"] | //*[\"1;", ";0;;5;", ";0;a;"}) {
    Error e = Failure([&] { getXPATHfromPreTree(path); });
    EXPECT_EQ(e.number(), err::InvalidArgument) << path;
    EXPECT_NE(e.description().find("HXSvcTroubleshooting.TSUtilities.getXPATHfromPreTree"), std::string::npos);
  }
}

TEST(DocumentsTest, NodeDomFromMarkup) {
  test::RecordingLog log;
  XmlElement e = GetNodeDOM("<Node NID=\"4\" VISB=\";1;\"><sd/><ld/></Node>");
  ASSERT_FALSE(e.IsNull());
  EXPECT_EQ(e.GetAttribute("NID"), "4");
  EXPECT_EQ(e.OwnerDocument().DocumentElement(), e);

  EXPECT_TRUE(GetNodeDOM("<Node NID=\"4\"><sd/><ld/>").IsNull());  // unclosed start tag
  EXPECT_TRUE(GetNodeDOM("<Node NID=\"1\" VISB=\";\"a\";\"/>").IsNull());
  EXPECT_TRUE(GetNodeDOM("").IsNull());
  EXPECT_EQ(log.Count(), 0u);
}

TEST(DocumentsTest, NewElementsHaveTheAttributesInOrder) {
  XmlElement root = NewRootElement(7, ";3;");
  EXPECT_EQ(root.OwnerDocument().Xml(), "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";3;\" PRID=\"7\" FAQ=\"0\"><sd/><ld/></Node>");

  XmlElement node = NewNodeElement(12, 40, 2, ";1;2;", -1, " ; ");
  EXPECT_EQ(node.Xml(), "<Node NID=\"12\" RID=\"40\" RTP=\"2\" VISB=\";1;2;\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node>");
  EXPECT_EQ(NewNodeElement(1, 1, 3, ";", 5, ";8;").GetAttribute("FAQ"), "1");
  EXPECT_EQ(NewNodeElement(1, 1, 3, ";", 5, "").GetAttribute("FAQ"), "1");

  // Whatever a text holds, it is stored as text.
  XmlElement odd = NewNodeElement(1, 1, 2, "\";<x/>&amp;", -1, ";");
  odd.SetChildText("sd", "</sd><Node NID=\"99\"/>");
  XmlDoc reloaded = XmlDoc::Create();
  ASSERT_TRUE(reloaded.LoadXml(odd.OwnerDocument().Xml()));
  EXPECT_EQ(reloaded.DocumentElement().GetAttribute("VISB"), "\";<x/>&amp;");
  EXPECT_EQ(reloaded.DocumentElement().ChildText("sd"), "</sd><Node NID=\"99\"/>");
  EXPECT_EQ(reloaded.SelectNodes("//Node").size(), 1u);
}

TEST(DocumentsTest, XmlPathRefusesNamesThatAreNotBareFileNames) {
  test::RecordingLog log;
  for (const char* name : {"../12_0.xml", "a/b.xml", "..\\12_0.xml", ".."}) {
    Error e = Failure([&] { GetXMLPath(1, name, true); });
    EXPECT_EQ(e.number(), err::InvalidFileName) << name;
    EXPECT_NE(e.description().find("METHOD: HXSvcTroubleshooting.TSUtilities.GetXMLPath caught: "), std::string::npos);
  }
}

void SetRelativePath(const test::TestEnv& env, const std::string& value) {
  auto c = db::Connection::Open(env.HelvixUri());
  c->Execute("UPDATE PARAMETERS SET PARAM_VALUE = " + c->dialect().TextLiteral(value) +
             " WHERE PARAM_NAME = 'DataFileRelativePath'");
}

TEST(DocumentsDbTest, XmlPath) {
  test::TestEnv env;
  const std::string install = GetInstallDir();
  SetRelativePath(env, "data/files/");
  EXPECT_EQ(GetXMLPath(1, "12_3.xml", true), install + "/data/files/TS/Manager/Trees/12_3.xml");
  EXPECT_EQ(GetXMLPath(2, "12_3.xml", false), install + "/data/files/TS/Enduser/Templates/12_3.xml");
  EXPECT_EQ(GetXMLPath(5, "12_3.xml", false), install + "/data/files/TS/Enduser/Templates/12_3.xml");
  // Looked up again on every call; "\" written the other platform's way.
  SetRelativePath(env, "data\\other\\");
  EXPECT_EQ(GetXMLPath(1, "", false), install + "/data/other/TS/Enduser/Trees/");
}

}  // namespace
}  // namespace tsa::storage
