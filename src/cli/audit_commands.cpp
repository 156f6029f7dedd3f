// tsauthor audit: who did what, newest first, from the service database.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "accounts/audit.h"
#include "cli/commands.h"
#include "runtime/context.h"
#include "runtime/error.h"

namespace tsa::cli {

const char* const kAuditUsage = R"(  audit [--tree TYPE/ID] [--login LOGIN] [--method NAME] [--since TIME] [--until TIME]
        [--limit N] [--json]
              the audit trail, newest first (times in UTC: 2026-12-08 or
              2026-12-08T10:00; --since inclusive, --until exclusive; 50 rows
              unless --limit says otherwise)
)";

namespace {

int Usage(const std::string& why) {
  std::fprintf(stderr, "tsauthor: %s\nusage:\n%s", why.c_str(), kAuditUsage);
  return 2;
}

bool ParseInt(const std::string& text, int32_t& out) {
  try {
    size_t used = 0;
    const long long v = std::stoll(text, &used);
    if (used != text.size() || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string Optional(const std::optional<int32_t>& v) { return v ? std::to_string(*v) : std::string("-"); }

}  // namespace

int CmdAudit(const std::vector<std::string>& args, const std::function<void()>& open) {
  accounts::AuditFilter f;
  bool asJson = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      asJson = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage(a.rfind("--", 0) == 0 ? "option " + a + " needs a value" : "unexpected '" + a + "'");
    const std::string& v = args[++i];
    if (a == "--tree") {
      const size_t slash = v.find('/');
      int32_t type = 0, id = 0;
      if (slash == std::string::npos || !ParseInt(v.substr(0, slash), type) || !ParseInt(v.substr(slash + 1), id))
        return Usage("--tree takes TYPE/ID, e.g. 1/7");
      f.treeType = type;
      f.treeId = id;
    } else if (a == "--login") {
      f.login = v;
    } else if (a == "--method") {
      f.method = v;
    } else if (a == "--since" || a == "--until") {
      // Checked here, before the data folder is opened, so that the message
      // names the option rather than the method's argument.
      try {
        (a == "--since" ? f.since : f.until) = accounts::AuditTimeBound(a, v);
      } catch (const Error& e) {
        return Usage(e.description());
      }
    } else if (a == "--limit") {
      int32_t n = 0;
      if (!ParseInt(v, n) || n < 1 || n > 1000) return Usage("--limit takes a number from 1 to 1000");
      f.pageSize = n;
    } else {
      return Usage("unknown option " + a);
    }
  }
  open();
  const accounts::AuditPage page = RunTransactional([&] { return accounts::ListAudit(f); });
  if (asJson) {
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& e : page.rows) rows.push_back(accounts::ToJson(e));
    std::printf("%s\n", rows.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  std::printf("%-27s %-24s %-30s %-8s %-5s %-8s %-6s %s\n", "TIME (UTC)", "WHO", "METHOD", "TREE", "NODE", "OUTCOME",
              "ERROR", "DETAIL / ARGUMENTS");
  for (const auto& e : page.rows) {
    const std::string tree = e.treeType || e.treeId ? Optional(e.treeType) + "/" + Optional(e.treeId) : "-";
    const std::string text = e.detail.empty() ? e.args : e.detail + (e.args.empty() ? "" : "  " + e.args);
    std::printf("%-27s %-24s %-30s %-8s %-5s %-8s %-6s %s\n", e.at.c_str(), accounts::Who(e).c_str(), e.method.c_str(),
                tree.c_str(), Optional(e.nodeId).c_str(), e.outcome.c_str(), Optional(e.errorNumber).c_str(),
                text.c_str());
  }
  if (page.more) std::printf("(more rows: narrow the filters or raise --limit)\n");
  return 0;
}

}  // namespace tsa::cli
