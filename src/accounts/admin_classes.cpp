#include "accounts/admin_classes.h"

#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/service_db.h"
#include "authoring/tsdom.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/error.h"
#include "runtime/registry.h"

namespace tsa::accounts {

namespace {

using nlohmann::json;

class AuditClass : public Component {
 public:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table = [] {
      auto opt = [](const char* name, ArgType type) { return ParamSpec{name, type, false, true}; };
      DispatchTable t;
      t.Add({"List",
             {opt("i_lTreeType", ArgType::Long), opt("i_lID", ArgType::Long), opt("i_sLogin", ArgType::String),
              opt("i_sMethod", ArgType::String), opt("i_sSince", ArgType::String), opt("i_sUntil", ArgType::String),
              opt("i_lPage", ArgType::Long), opt("i_lPageSize", ArgType::Long)},
             ArgType::Variant,
             false,
             [](Component&, DispatchArgs& a) {
               AuditFilter f;
               if (!a[0].is_null()) f.treeType = dispatch::Long(a[0]);
               if (!a[1].is_null()) f.treeId = dispatch::Long(a[1]);
               f.login = dispatch::Text(a[2]);
               f.method = dispatch::Text(a[3]);
               f.since = dispatch::Text(a[4]);
               f.until = dispatch::Text(a[5]);
               if (!a[6].is_null()) f.page = dispatch::Long(a[6]);
               if (!a[7].is_null()) f.pageSize = dispatch::Long(a[7]);
               if (f.page < 1) RaiseInvalidArgument("i_lPage", "pages are counted from 1");
               if (f.pageSize < 1 || f.pageSize > 1000) RaiseInvalidArgument("i_lPageSize", "between 1 and 1000");
               const AuditPage page = RunTransactional([&] { return ListAudit(f); });
               json rows = json::array();
               for (const AuditEntry& e : page.rows) rows.push_back(ToJson(e));
               return json{{"rows", rows}, {"page", f.page}, {"pageSize", f.pageSize}, {"more", page.more}};
             },
             "The audit trail, newest first: filters by tree, login (the caller or the login acted for), method "
             "and time (since inclusive, until exclusive, UTC texts such as 2026-12-08T10:00); pages of "
             "i_lPageSize rows (default 50)."});
      return t;
    }();
    return &table;
  }
};

class AdminClass : public Component {
 public:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table = [] {
      DispatchTable t;
      t.Add(Bind<&AdminClass::ReleaseCheckOut>(
          "ReleaseCheckOut", {"i_lTreeType", "i_lID"},
          "Ends another user's check-out of a tree: the holder's working copy is discarded and the audit trail "
          "names the holder; returns the former holder's login (error 1003 when nobody holds the tree)."));
      return t;
    }();
    return &table;
  }

  static std::string ReleaseCheckOut(int32_t treeType, int32_t id) {
    return RunTransactional([&] {
      std::string holder;
      {
        ServiceDb db;
        auto rs = db.Query("SELECT LOGIN FROM TSCHANGECONTROL WHERE ID = " + db.P(1) + " AND TREETEM = " + db.P(2),
                           {db::Value(id), db::Value(treeType)});
        if (rs.rows.empty()) {
          Raise(tsa::err::NotCheckedOut, kSource,
                "Nobody holds tree " + std::to_string(treeType) + "/" + std::to_string(id) + ": nothing to release");
        }
        holder = TextOf(rs.rows[0][0]);
      }
      CreateTSDOMObject()->UndoEditTree(id, treeType, holder);
      NoteForAudit("released the check-out of " + holder + " and discarded the working copy");
      return holder;
    });
  }
};

}  // namespace

void RegisterAccountsClasses() {
  Registry::Instance().Register(progid::Audit, [] { return std::make_shared<AuditClass>(); });
  Registry::Instance().Register(progid::Admin, [] { return std::make_shared<AdminClass>(); });
}

}  // namespace tsa::accounts
