// The documents kept in the service database: one row of DOCUMENTS per
// document, keyed by its path below the documents folder (so that servers
// with data folders of their own name the same document alike), with its
// content and a version.
//
// Inside a transaction context a save or deletion is staged in memory;
// loads of the same context see the staged state. When the context
// prepares to commit, each changed document is written through the
// context's own session, so it commits atomically with the rows: there are
// no intents, renames or recovery for these documents. Outside a context
// each change is one statement of its own.
//
// Versions. Every write gives the document the next version and a new
// random stamp; a deletion leaves the row with no content and the next
// version, so a version number is never given to two contents of one path.
// A transaction writes a document only over the version it saw first
// (loaded, tested or, for a blind save, found at the save): when another
// transaction committed a newer one meanwhile, the commit fails with
// error 1700 and nothing of it is written. No server therefore ever
// replaces a document it has not seen. The identity of a document
// (IdentifiedDocumentStore) is its version, size and stamp, so a parsed
// copy or a client's tag is used only for the very version in the database.
//
// Paths outside the documents folder (the shared folder of a web farm) are
// files, handled by the file store in the same transaction.
//
// With [documents] write_through on, each committed change is also made to
// the file at the path (after the commit, outside the transaction; a
// failure is logged): the files then look as the file store would leave
// them, for readers outside the engine. The engine never reads them.
#pragma once

#include <optional>
#include <string>

#include "platform/files/document_store.h"

namespace tsa {

// Error numbers of the database store.
namespace docerr {
// Another transaction committed a newer version of a document this one
// changes; the transaction is rolled back and can be repeated.
inline constexpr int32_t ChangedMeanwhile = 1700;
// The content cannot be kept in the database (it holds a NUL character).
inline constexpr int32_t NotStorable = 1701;
}  // namespace docerr

class DatabaseDocumentStore : public IdentifiedDocumentStore {
 public:
  bool Exists(const std::string& path) override;
  std::string Load(const std::string& path) override;
  void Save(const std::string& path, const std::string& contents) override;
  void Copy(const std::string& source, const std::string& target) override;
  void Move(const std::string& source, const std::string& target) override;
  void Delete(const std::string& path) override;

  std::string LoadIdentified(const std::string& path, std::optional<FileIdentity>& identity) override;
  std::optional<FileIdentity> CurrentIdentity(const std::string& path) override;
  std::optional<FileIdentity> StagedIdentity(const std::string& path) override;

 private:
  FileDocumentStore files_;  // paths outside the documents folder
};

// The key of a document in DOCUMENTS: its normalised path relative to the
// documents folder; nothing for a path outside it.
std::optional<std::string> DocumentKey(const std::string& path);

namespace db {
class Session;
}
// PostgreSQL: the compression set on the documents' content column ("l"
// lz4, "p" pglz, "" the server's default); nothing when the table is not
// there.
std::optional<std::string> DocumentContentCompression(db::Session& session);

}  // namespace tsa
