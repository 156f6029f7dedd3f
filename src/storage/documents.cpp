#include "storage/documents.h"

#include <limits>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "runtime/error.h"

namespace tsa::storage {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;  // as the platform's Split: no piece at all
  size_t start = 0;
  while (true) {
    size_t pos = text.find(separator, start);
    if (pos == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

bool IsDecimal(const std::string& s, bool allowSign) {
  size_t i = (allowSign && !s.empty() && s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

void CheckFileName(const std::string& fileName) {
  for (char c : fileName) {
    if (c == '/' || c == '\\' || c == '\0') {
      RaiseInvalidArgument("fileName", "\"" + fileName + "\" is not a bare file name", err::InvalidFileName);
    }
  }
  if (fileName == "." || fileName == "..") {
    RaiseInvalidArgument("fileName", "\"" + fileName + "\" is not a file name", err::InvalidFileName);
  }
}

XmlElement NewElement(const std::vector<std::pair<const char*, std::string>>& attributes) {
  XmlDoc doc = XmlDoc::Create();
  XmlElement node = doc.CreateDocumentElement("Node");
  for (const auto& [name, value] : attributes) node.SetAttribute(name, value);
  node.AppendNewChild("sd");
  node.AppendNewChild("ld");
  return node;
}

}  // namespace

std::string GetXMLPath(int32_t treeType, const std::string& fileName, bool manager) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.GetXMLPath", [&] {
    CheckFileName(fileName);
    std::string relative = NormalizePath(GetParamValue("DataFileRelativePath"));
    std::string installDir = GetInstallDir();
    return installDir + "/" + relative + "/TS/" + (manager ? "Manager" : "Enduser") + "/" +
           (treeType == 1 ? "Trees" : "Templates") + "/" + fileName;
  });
}

std::string IncrementFileVersion(const std::string& fileName) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.IncrementFileVersion", [&] {
    if (fileName.size() < 4) {
      Raise(err::InvalidProcedureCall, {},
            "Invalid procedure call or argument: the file name \"" + fileName + "\" is shorter than four characters");
    }
    std::vector<std::string> pieces = Split(fileName.substr(0, fileName.size() - 4), '_');
    if (pieces.size() < 2) {
      Raise(err::SubscriptOutOfRange, {}, "Subscript out of range: the file name \"" + fileName + "\" has no version");
    }
    const std::string& version = pieces[1];
    if (!IsDecimal(version, false)) {
      Raise(err::TypeMismatch, {}, "Type mismatch: the version \"" + version + "\" of \"" + fileName + "\" is not a number");
    }
    size_t digits = version.find_first_not_of('0');
    std::string significant = digits == std::string::npos ? "0" : version.substr(digits);
    if (significant.size() > 10 || std::stoll(significant) >= std::numeric_limits<int32_t>::max()) {
      Raise(err::Overflow, {}, "Overflow: the version of \"" + fileName + "\" cannot be increased");
    }
    return pieces[0] + "_" + std::to_string(std::stoll(significant) + 1) + ".xml";
  });
}

std::string getXPATHfromPreTree(const std::string& path) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.getXPATHfromPreTree", [&] {
    std::vector<std::string> pieces = Split(path, ';');
    std::string xpath;
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
      if (!IsDecimal(pieces[i], true)) {
        RaiseInvalidArgument("path", "\"" + path + "\" holds the entry \"" + pieces[i] + "\", which is not a node identifier");
      }
      xpath += "/Node[@NID=\"" + pieces[i] + "\"]";
    }
    return xpath;
  });
}

XmlElement GetNodeDOM(const std::string& markup) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.GetNodeDOM", [&] {
    XmlDoc doc = XmlDoc::Create();
    if (!doc.LoadXml(markup)) return XmlElement();
    return doc.DocumentElement();
  });
}

std::string FaqFlag(const std::string& faqs) { return TrimBlanks(faqs) == ";" ? "0" : "1"; }

XmlElement NewNodeElement(int32_t nodeId, int32_t repId, int32_t repType, const std::string& visibilities,
                          int32_t hyperlinkNodeId, const std::string& faqs) {
  return NewElement({{"NID", std::to_string(nodeId)},
                     {"RID", std::to_string(repId)},
                     {"RTP", std::to_string(repType)},
                     {"VISB", visibilities},
                     {"HYP", std::to_string(hyperlinkNodeId)},
                     {"FAQ", FaqFlag(faqs)}});
}

XmlElement NewRootElement(int32_t treeId, const std::string& visibilities) {
  return NewElement({{"NID", "0"},
                     {"RID", "0"},
                     {"RTP", "0"},
                     {"VISB", visibilities},
                     {"PRID", std::to_string(treeId)},
                     {"FAQ", "0"}});
}

}  // namespace tsa::storage
