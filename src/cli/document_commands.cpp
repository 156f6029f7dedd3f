#include "cli/document_commands.h"

#include <cstdio>

#include "storage/document_transfer.h"

namespace tsa::cli {

const char* const kDocumentsUsage =
    "  documents import              copy the current document files into the database (once; run again, it\n"
    "                                copies only what is missing)\n"
    "  documents export              write the database's current documents to their files\n";

int CmdDocuments(const std::vector<std::string>& args, const std::function<void()>& configure) {
  if (args.size() != 1 || (args[0] != "import" && args[0] != "export")) {
    std::fprintf(stderr, "tsauthor: usage:\n%s", kDocumentsUsage);
    return 2;
  }
  configure();
  const bool import = args[0] == "import";
  storage::DocumentTransfer t = import ? storage::ImportDocumentFiles() : storage::ExportDocumentFiles();
  for (const auto& note : t.notes) std::printf("%s\n", note.c_str());
  if (import) {
    std::printf("%d documents imported, %d already in the database, %d kept as the database has them, %d without a file\n",
                t.copied, t.alreadyThere, t.differing, t.missing);
  } else {
    std::printf("%d documents written, %d files already current, %d not in the database\n", t.copied, t.alreadyThere,
                t.missing);
  }
  return 0;
}

}  // namespace tsa::cli
