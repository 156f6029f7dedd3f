#include "cli/export_commands.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "runtime/error.h"
#include "server/rpc_client.h"

namespace tsa::cli {

namespace {

struct TreeKey {
  int32_t type = 0;
  int32_t id = 0;
};

// "TYPE/ID": the type as 1 or "product", 2 or "template".
std::optional<TreeKey> ParseTreeKey(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::string type = text.substr(0, slash);
  TreeKey key;
  if (type == "1" || type == "product") {
    key.type = 1;
  } else if (type == "2" || type == "template") {
    key.type = 2;
  } else {
    return std::nullopt;
  }
  const char* begin = text.data() + slash + 1;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(begin, end, key.id);
  if (begin == end || ec != std::errc() || p != end) return std::nullopt;
  return key;
}

int Usage(const char* text) {
  std::fprintf(stderr, "tsauthor: usage: %s\n", text);
  return 2;
}

constexpr const char* kExportUsage = "tsauthor export TYPE/ID [--working] [--output FILE]";
constexpr const char* kImportUsage = "tsauthor import FILE --as TYPE/ID [--reuse-texts]";

}  // namespace

int CmdExport(const std::vector<std::string>& args, const std::function<void()>& configure) {
  std::optional<TreeKey> key;
  bool working = false;
  std::string output;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--working") {
      working = true;
    } else if (args[i] == "--output" && i + 1 < args.size()) {
      output = args[++i];
    } else if (!key && (key = ParseTreeKey(args[i]))) {
    } else {
      return Usage(kExportUsage);
    }
  }
  if (!key) return Usage(kExportUsage);
  configure();
  const nlohmann::json file =
      server::CallLocal("Exchange.Export", {{"i_lTreeType", key->type}, {"i_lID", key->id}, {"i_bWorking", working}});
  const std::string text = file.dump(2) + "\n";
  if (output.empty()) {
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) Raise(err::PathNotFound, {}, "Cannot write the tree file " + output);
  return 0;
}

int CmdImport(const std::vector<std::string>& args, const std::function<void()>& configure) {
  std::optional<TreeKey> key;
  bool reuse = false;
  std::string path;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--reuse-texts") {
      reuse = true;
    } else if (args[i] == "--as" && i + 1 < args.size() && !key) {
      key = ParseTreeKey(args[++i]);
      if (!key) return Usage(kImportUsage);
    } else if (path.empty() && !args[i].starts_with("--")) {
      path = args[i];
    } else {
      return Usage(kImportUsage);
    }
  }
  if (!key || path.empty()) return Usage(kImportUsage);
  std::string text;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) Raise(err::FileNotFound, {}, "Tree file not found: " + path);
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
  }
  configure();
  const nlohmann::json result = server::CallLocal(
      "Exchange.Import", {{"i_vFile", text}, {"i_lTreeType", key->type}, {"i_lID", key->id}, {"i_bReuseTexts", reuse}});
  std::printf("%s\n", result.dump(2).c_str());
  return 0;
}

}  // namespace tsa::cli
