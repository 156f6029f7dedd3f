// Tree files as an import reads them: the text (JSON with a depth limit and
// without a key twice), then everything the file says checked against
// itself, the child-type rule and a small catalog, for both tree types.
// What the text parser accepts must survive being written and read again,
// and what the reader accepts must be a tree: every node once, each after
// its parent, whose texts the XML writer writes back well-formed and reads
// back as they were.
#include <cstdint>
#include <set>
#include <string>

#include "authoring/exchange_reader.h"
#include "authoring/tree_exchange.h"
#include "fuzz_support.h"
#include "runtime/settings.h"
#include "runtime/xml_chars.h"
#include "storage/tree_types.h"
#include "storage/xml.h"
#include "versions/version_errors.h"

using namespace tsa;

namespace {

// Visibilities 1 to 5 named "v1" to "v5"; categories 10 to 12.
const ExchangeCatalog kCatalog{
    [](int32_t id) -> std::optional<std::string> {
      if (id < 1 || id > 5) return std::nullopt;
      return "v" + std::to_string(id);
    },
    [](int32_t id) { return id >= 10 && id <= 12; }};

void CheckPlan(const ExchangePlan& plan, const nlohmann::json& file) {
  if (plan.nodes.size() != file.at("nodes").size()) fuzz::Finding("nodes lost or added by the reader", "");
  std::set<int32_t> placed{0};
  for (const ExchangeNode& n : plan.nodes) {
    if (!placed.count(n.parent)) fuzz::Finding("a node before its parent", n.path);
    if (!placed.insert(n.id).second) fuzz::Finding("a node placed twice", n.path);
  }
  // Every text goes into a document as the import writes it.
  XmlDoc doc = XmlDoc::Create();
  XmlElement root = doc.CreateDocumentElement("Node");
  for (const ExchangeNode& n : plan.nodes) {
    XmlElement e = root.AppendNewChild("Node");
    try {
      e.SetAttribute("FAQS", n.faqs);
      e.AppendNewChild("sd").SetText(n.sd);
      e.AppendNewChild("ld").SetText(n.ld);
    } catch (const Error& error) {
      fuzz::Finding("an accepted text is refused by the document", error.description());
    }
  }
  std::string markup;
  try {
    markup = doc.Xml();
  } catch (const Error& error) {
    fuzz::Finding("the writer refuses a document of accepted texts", error.description());
  }
  if (auto fault = FindCharacterMarkupCannotHold(markup)) fuzz::Finding("the writer wrote markup XML cannot hold", fault->what);
  XmlDoc again = XmlDoc::Create();
  if (!again.LoadXml(markup)) fuzz::Finding("the written document does not parse", again.LastError());
  std::vector<XmlElement> read = again.DocumentElement().ChildElements("Node");
  for (size_t i = 0; i < read.size() && i < plan.nodes.size(); ++i) {
    if (read[i].ChildText("sd") != plan.nodes[i].sd || read[i].ChildText("ld") != plan.nodes[i].ld ||
        read[i].GetAttribute("FAQS") != plan.nodes[i].faqs) {
      fuzz::Finding("a text reads back otherwise", plan.nodes[i].path);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::json file;
  try {
    file = ParseExchangeText(fuzz::AsText(data, size));
  } catch (const Error& e) {
    if (e.number() != err::ExchangeMalformed) fuzz::Finding("a tree file refused with another number", e.description());
    fuzz::CheckRefusal(e);
    return 0;
  }
  const std::string written = file.dump();
  try {
    if (ParseExchangeText(written) != file) fuzz::Finding("a file changes when written and read", written);
  } catch (const Error& e) {
    fuzz::Finding("a file written from an accepted one is refused", e.description());
  }

  for (int32_t treeType : {storage::kProductTree, storage::kTemplateTree}) {
    try {
      CheckPlan(ReadExchangeFile(file, treeType, kCatalog), file);
    } catch (const Error& e) {
      if ((e.number() < err::ExchangeMalformed || e.number() > err::ExchangeChildType) &&
          e.number() != err::TreeTooDeep) {
        fuzz::Finding("a tree file refused outside 1410-1415 and 1218", e.description());
      }
      fuzz::CheckRefusal(e);
    }
  }
  return 0;
}
