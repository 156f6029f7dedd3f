// Stored tree documents as the engine loads them: the markup is parsed, the
// nodes looked at the way the tree loaders do, and what is written back must
// read back as the same document.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "runtime/xml_chars.h"
#include "storage/xml.h"

using namespace tsa;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  XmlDoc doc = XmlDoc::Create();
  if (!doc.LoadXml(fuzz::AsText(data, size))) {
    if (doc.LastError().empty()) fuzz::Finding("a refused document without a reason", "");
    if (!doc.DocumentElement().IsNull()) fuzz::Finding("a refused document kept content", doc.LastError());
    return 0;
  }
  fuzz::Refusable([&] {
    XmlElement root = doc.DocumentElement();
    if (root.IsNull()) fuzz::Finding("a loaded document without its element", "");
    for (const XmlElement& node : root.SelectNodes("./descendant-or-self::Node")) {
      (void)node.GetAttribute("NID");
      (void)node.GetAttribute("VISIBILITY");
      (void)node.Name();
      (void)node.Parent();
      for (const XmlElement& child : node.ChildElements()) (void)child.Text();
    }
  });

  // What the engine writes it must read back unchanged. A document holding
  // a character XML cannot hold still loads (so that it can be reported and
  // its node edited) but the writer refuses it, with that number only.
  std::string written;
  try {
    written = doc.Xml();
  } catch (const Error& e) {
    if (e.number() != err::DocumentNotWritable) fuzz::Finding("the writer refused a document", e.description());
    return 0;
  }
  XmlDoc again = XmlDoc::Create();
  if (!again.LoadXml(written)) fuzz::Finding("a written document does not load", again.LastError());
  if (again.Xml() != written) fuzz::Finding("a document changes when written and loaded again", written);
  return 0;
}
