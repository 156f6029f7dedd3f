// Documents of published versions as they are read back from the database:
// base64, a stated length, deflated markup. A damaged one must be refused
// (1402) before it is used, and what reads back must load as a document or
// be refused by the XML layer with a reason.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "storage/xml.h"
#include "versions/compression.h"
#include "versions/version_errors.h"

using namespace tsa;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  // Every text packs and reads back exactly.
  if (versions::Unpack(versions::Pack(text)) != text) fuzz::Finding("a text changes when packed", "");

  std::string markup;
  try {
    markup = versions::Unpack(text);
  } catch (const Error& e) {
    if (e.number() != err::VersionDamaged) fuzz::Finding("damage reported with another number", e.description());
    fuzz::CheckRefusal(e);
    return 0;
  }
  XmlDoc doc = XmlDoc::Create();
  if (!doc.LoadXml(markup) && doc.LastError().empty()) fuzz::Finding("a refused document without a reason", "");
  return 0;
}
