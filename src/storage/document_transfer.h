// Moving an installation's documents between its files and the database:
// the current documents (the names DOCUMENTFILES holds for every tree and
// template, working and published copies) copied from the files into the
// database store, or from the database back to the files.
//
// Both are idempotent: a document already equal at the destination is
// counted and left; on import a document the database already holds with
// other content is left as the database has it (the database is the newer
// copy once the engine uses it) and reported.
#pragma once

#include <string>
#include <vector>

namespace tsa::storage {

struct DocumentTransfer {
  int copied = 0;        // written to the destination
  int alreadyThere = 0;  // the destination held the same content
  int differing = 0;     // import: the database holds other content, kept
  int missing = 0;       // named by DOCUMENTFILES, but the source has no such document
  std::vector<std::string> notes;  // one line per document not simply copied or found equal
};

// Files -> database. Label "tsa.Documents.Import".
DocumentTransfer ImportDocumentFiles();
// Database -> files (written at once, each atomically). Label "tsa.Documents.Export".
DocumentTransfer ExportDocumentFiles();

}  // namespace tsa::storage
