// Restoring a version as the working copy (see versions.h for what happens
// to repository entities that changed or were deleted since).
#include <map>

#include "components/connections.h"
#include "components/file_handling.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "storage/xml.h"
#include "versions/version_errors.h"
#include "versions/version_store.h"
#include "versions/versions.h"

namespace tsa {

namespace {

constexpr const char* kRestore = "HXSvcTroubleshooting.Versions.Restore";

// NAME and DETAIL of an entity, if it exists.
std::optional<std::pair<std::string, std::string>> EntityTexts(int32_t repType, int32_t repId) {
  const std::string table = storage::getRepTable(repType);
  if (table.empty()) return std::nullopt;
  ConnectionPtr connection = GetHelvixConnection();
  db::ResultSet r;
  try {
    r = connection->session().Query(
        "SELECT NAME, DETAIL FROM " + table + " WHERE ID = " + connection->dialect().Placeholder(1), {db::Value(repId)});
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
  if (r.rows.empty()) return std::nullopt;
  auto text = [](const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); };
  return std::make_pair(text(r.rows[0][0]), text(r.rows[0][1]));
}

}  // namespace

void Versions::Restore(int32_t i_lTreeType, int32_t i_lID, int32_t i_lVersion, const std::string& i_sUserId) {
  RunTransactional([&] {
    Trapped(
        kRestore,
        [&] {
          if (i_lTreeType != storage::kProductTree && i_lTreeType != storage::kTemplateTree) {
            RaiseInvalidArgument("i_lTreeType", "must be 1 (product tree) or 2 (template), not " +
                                                    std::to_string(i_lTreeType));
          }
          if (i_sUserId.empty()) RaiseInvalidArgument("i_sUserId", "must not be empty");
          storage::LockTree(i_lTreeType, i_lID);
          if (versions::CheckOutHolder(i_lTreeType, i_lID) != i_sUserId) {
            Raise(err::NotCheckedOut, {},
                  "A version can only be restored into the working copy of the user who holds the check-out");
          }
          versions::TreeCopy copy = versions::LoadVersion(i_lTreeType, i_lID, i_lVersion);

          XmlDoc doc = XmlDoc::Create();
          if (!doc.LoadXml(copy.document)) {
            Raise(err::VersionDamaged, {}, "The document of version " + std::to_string(i_lVersion) +
                                               " cannot be read: " + doc.LastError());
          }
          std::map<int32_t, XmlElement> elements;
          for (XmlElement e : doc.SelectNodes("//Node")) {
            elements[std::stoi(e.GetAttribute("NID").value_or("0"))] = e;
          }

          // Entities: kept when unchanged, else replaced by a new one with the
          // version's texts (one per entity the version showed).
          std::map<std::pair<int32_t, int32_t>, int32_t> replacement;
          RepositoryPtr repository;
          for (versions::NodeRecord& row : copy.rows) {
            if (row.nodeId == 0) continue;
            auto element = elements.find(row.nodeId);
            if (element == elements.end()) {
              Raise(err::VersionDamaged, {}, "Version " + std::to_string(i_lVersion) + " has no element for node " +
                                                 std::to_string(row.nodeId));
            }
            const std::string sd = element->second.ChildText("sd");
            const std::string ld = element->second.ChildText("ld");
            const std::pair<int32_t, int32_t> key{row.repType, row.repId};
            auto done = replacement.find(key);
            if (done == replacement.end()) {
              const auto present = EntityTexts(row.repType, row.repId);
              int32_t repId = row.repId;
              if (!present || present->first != sd || present->second != ld) {
                if (!repository) repository = CreateRepositoryObject();
                repId = repository->AddRepEntity(row.repType, sd, ld);
              }
              done = replacement.emplace(key, repId).first;
            }
            row.repId = done->second;
            element->second.SetAttribute("RID", std::to_string(row.repId));
          }
          repository.reset();

          versions::WriteCopyRows(i_lTreeType, i_lID, true, copy.rows);
          const int32_t category = storage::DocumentCategory(i_lTreeType, true);
          auto files = CreateInContext<IFileHandling>(progid::FileHandling);
          const FileNameDict names = files->GetFileNames(i_lID, {category});
          files.reset();
          const auto* item = names.Find(category);
          if (!item || item->empty()) Raise(err::NotCheckedOut);
          DocumentStore()->Save(storage::GetXMLPath(i_lTreeType, CurrentFileName(names, category), true), doc.Xml());
          CompleteTransaction();
        },
        [] { AbortTransaction(); });
  });
}

}  // namespace tsa
