// What the authoring operations cost a front end: TSDOM.AddChildNew,
// TSDOM.SaveNode, TSDOM.MoveNode, a document read and the tree as JSON, on product trees of
// 1,000, 10,000 and 100,000 nodes, called in process (the TSDOM object, the
// read handler) and over JSON-RPC / HTTP on loopback (one client keeping its
// connection), so that the service's share is the ratio of the two.
//
// Next to them, the floors they are measured against (mode "floor" and
// "floor-noparse"): the least work each operation needs on the same
// document file, done directly with pugixml, the file system and one
// database session. For an edit: read and parse the document, make the
// change, serialise it, write it durably (a temporary synced, renamed over a
// copy of the document, the folder synced) and run two statements in a
// committed transaction of the same database; "floor-noparse" keeps the
// parsed document between calls. For a read: read the file into memory.
// Every benchmark also reports the process's resident memory (rss_mb)
// after it ran.
//
// Runs on SQLite in a temporary data folder; with TSAUTHOR_BENCH_PG set to a
// PostgreSQL server URI the same benchmarks also run there, in two schemas
// of their own that are dropped at the end. TSAUTHOR_BENCH_DIR chooses the
// folder the data folders go to (default: the system's temporary folder).
//
// Each benchmark runs a fixed number of calls, three times over, and reports
// per call the median and 99th percentile latency (p50_ms, p99_ms) and the
// calls per second of the one client (calls_per_s); the median of the three
// runs is the figure to read, the machine's other work being what it is.
// An added node is deleted again after each timed AddChildNew, untimed and
// the way it was added, so the tree keeps its size.
//
// The writes are also called by name in process (CallLocal: argument
// binding and the call's own unit of work, without the transport).
//
// Publishing (TSDOM.Publish, in process, the tree checked out again untimed
// after each call) is measured with versions kept (Publish) and with
// `[versions] keep = 0` (PublishUnversioned): the ratio of the two is what
// keeping versions costs a publication.
//
// On PostgreSQL the documents are kept in the database (the default there);
// "postgresql-files" runs the writes and reads in process once more with
// `[documents] store = "files"` on the same server, so that what the
// database store costs an edit is the ratio of the two, and the sqlite
// figures give the single-machine file store beside them.
//
// Several clients (service/<backend>/AddChildNew+DeleteNode/1000/http-clients:N):
// 1 and 4 clients over HTTP at once, each on a tree of its own, adding a
// node and deleting it again; calls per second of all of them together and
// the 95th percentile latency, against one client.
//
// Names: service/<backend>/<operation>/<nodes>/<inproc|local|http>.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "authoring/browse.h"
#include "authoring/tsdom.h"
#include "components/catalog.h"
#include "components/file_handling.h"
#include "model/tree.h"
#include "platform/db/session.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/allocator.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "runtime/settings.h"
#include "server/http_server.h"
#include "server/rpc_client.h"
#include "server/tree_reads.h"
#include "storage/document_cache.h"
#include "storage/documents.h"
#include "storage/schema.h"
#include "storage/tree_types.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr const char* kServiceToken = "bench-service-token";
constexpr int32_t kProductTree = tsa::storage::kProductTree;
constexpr int kSizes[] = {1000, 10000, 100000};
constexpr int32_t kFirstProduct = 5001;  // one product per tree size
// Several clients at once, each editing a tree of its own of 1,000 nodes.
constexpr int kMaxClients = 4;
constexpr int kClientTreeNodes = 1000;
constexpr int32_t kFirstClientProduct = 5101;

// Calls per benchmark: enough for a stable median; bigger trees get fewer.
int WriteCalls(int nodes) { return nodes <= 1000 ? 100 : nodes <= 10000 ? 30 : 8; }
int ReadCalls(int nodes) { return nodes <= 1000 ? 200 : nodes <= 10000 ? 50 : 12; }

double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// --- measuring ------------------------------------------------------------------

// Latencies of the calls of one benchmark, in milliseconds.
class Latencies {
 public:
  explicit Latencies(size_t expected) { ms_.reserve(expected); }
  template <class Call>
  void Time(Call&& call) {
    const auto start = Clock::now();
    call();
    ms_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  void Report(benchmark::State& state) {
    if (ms_.empty()) return;
    double total = 0;
    for (double m : ms_) total += m;
    std::sort(ms_.begin(), ms_.end());
    auto at = [&](double q) {
      return ms_[std::min(ms_.size() - 1, static_cast<size_t>(q * static_cast<double>(ms_.size())))];
    };
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    state.counters["calls_per_s"] = 1000.0 * static_cast<double>(ms_.size()) / total;
    state.counters["rss_mb"] = ResidentMegabytes();
  }

 private:
  std::vector<double> ms_;
};

// --- the environment of one backend ----------------------------------------------

struct TreeInfo {
  int32_t id = 0;
  int32_t category = 0;  // AddChildNew adds below it
  int32_t node = 0;      // SaveNode saves it, MoveNode moves it up and down
  int32_t repId = 0;     // its entity
  std::string path;      // the working copy's file
};

std::string UniqueSuffix() {
  std::random_device rd;
  return std::to_string(::getpid()) + "_" + std::to_string(rd() % 100000);
}

// A data folder with its databases, the schema, a catalog with one product
// per tree size, and the trees (built on first use), all for the user
// "bench", who holds every tree checked out.
class Backend {
 public:
  Backend(std::string label, std::string pgServer) : label_(std::move(label)), pgServer_(std::move(pgServer)) {
    const char* base = std::getenv("TSAUTHOR_BENCH_DIR");
    std::filesystem::path root = base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
    dataDir_ = (root / ("tsa-service-bench-" + label_ + "-" + UniqueSuffix())).string();
    std::filesystem::create_directories(dataDir_);
    settings_ = tsa::LoadSettings((std::filesystem::path(dataDir_) / "none.toml").string(), dataDir_);
    settings_.installDir = dataDir_;
    settings_.logFile = (std::filesystem::path(dataDir_) / "logs" / "tsauthor.log").string();
    settings_.logToStderr = false;
    if (label_.size() > 6 && label_.compare(label_.size() - 6, 6, "-files") == 0) settings_.documentStore = "files";
    if (pgServer_.empty()) {
      settings_.connections["Helvix"]["Helvix"] = "sqlite:" + (std::filesystem::path(dataDir_) / "helvix.db").string();
      settings_.connections["KVServer"]["KCatalog"] =
          "sqlite:" + (std::filesystem::path(dataDir_) / "kcatalog.db").string();
    } else {
      // Plain names (letters, digits, '_'): they go into statements and URIs.
      const std::string suffix = UniqueSuffix();
      schemas_ = {"tsa_bench_h_" + suffix, "tsa_bench_k_" + suffix};
      auto admin = tsa::db::OpenSession(pgServer_);
      for (const auto& s : schemas_) admin->Execute("CREATE SCHEMA " + s);
      settings_.connections["Helvix"]["Helvix"] = WithSchema(schemas_[0]);
      settings_.connections["KVServer"]["KCatalog"] = WithSchema(schemas_[1]);
    }
    Activate();
    tsa::RegisterAllComponents();
    tsa::storage::CreateSchema(settings_.HelvixUri(), settings_.KCatalogUri());

    json products = json::array();
    for (size_t i = 0; i < std::size(kSizes); ++i) {
      products.push_back({{"id", kFirstProduct + static_cast<int32_t>(i)},
                          {"description", "Bench product " + std::to_string(kSizes[i])},
                          {"categories", {10}}});
    }
    for (int c = 0; c < kMaxClients; ++c) {
      products.push_back({{"id", kFirstClientProduct + c},
                          {"description", "Bench client tree " + std::to_string(c + 1)},
                          {"categories", {10}}});
    }
    const std::string catalog = (std::filesystem::path(dataDir_) / "catalog.json").string();
    const json visibilities = {{{"id", 1}, {"name", "Customers"}}, {{"id", 2}, {"name", "Agents"}}};
    const json categories = {{{"id", 10}, {"name", "Printers"}, {"visibilities", {1, 2}}}};
    std::ofstream(catalog)
        << json{{"visibilities", visibilities}, {"categories", categories}, {"products", products}}.dump();
    tsa::LoadCatalogFile(catalog);
  }

  ~Backend() {
    tsa::db::SessionPool::Instance().Clear();
    if (!schemas_.empty()) {
      try {
        auto admin = tsa::db::OpenSession(pgServer_);
        admin->Execute("SET lock_timeout = '10s'");
        for (const auto& s : schemas_) admin->Execute("DROP SCHEMA IF EXISTS " + s + " CASCADE");
      } catch (const std::exception& e) {
        std::fprintf(stderr, "could not drop the bench schemas: %s\n", e.what());
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(dataDir_, ec);
  }

  const std::string& label() const { return label_; }
  const std::string& dataDir() const { return dataDir_; }

  // Makes this backend's settings the process's.
  void Activate() { tsa::SetCurrentSettings(settings_); }

  const TreeInfo& Tree(int nodes) {
    auto it = trees_.find(nodes);
    if (it == trees_.end()) {
      const int32_t id = kFirstProduct + static_cast<int32_t>(std::find(std::begin(kSizes), std::end(kSizes), nodes) -
                                                              std::begin(kSizes));
      it = trees_.emplace(nodes, Build(id, nodes)).first;
    }
    return it->second;
  }

  // The tree of client `c` (0 .. kMaxClients - 1).
  const TreeInfo& ClientTree(int c) {
    auto it = clientTrees_.find(c);
    if (it == clientTrees_.end()) it = clientTrees_.emplace(c, Build(kFirstClientProduct + c, kClientTreeNodes)).first;
    return it->second;
  }

 private:
  std::string WithSchema(const std::string& schema) const {
    return pgServer_ + (pgServer_.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" +
           schema;
  }

  // A product tree of `nodes` nodes, made by the engine: created and checked
  // out through TSDOM, then filled in one transaction (root, one category
  // per hundred nodes, questions below them) and saved once.
  TreeInfo Build(int32_t id, int nodes) {
    const auto started = Clock::now();
    TreeInfo info;
    info.id = id;
    auto dom = tsa::CreateTSDOMObject();
    dom->CreateEmptyTree(kProductTree, info.id);
    std::string owner;
    dom->CheckOut(kProductTree, info.id, kUser, owner);

    const int categories = std::max(1, nodes / 100);
    const int questions = nodes - 1 - categories;
    tsa::RunTransactional([&] {
      tsa::TreePtr tree = tsa::CreateTreeObject();
      tree->load(kProductTree, info.id, kUser);
      tsa::NodePtr root = tree->getNode(0);
      int added = 0;
      for (int c = 0; c < categories; ++c) {
        tsa::NodePtr category = tree->createNode(tsa::storage::kRepCategory, "Category " + std::to_string(c),
                                                 "Problems of kind " + std::to_string(c), ";1;2;", ";", -1);
        root->AppendChild(*category);
        info.category = category->NodeID;
        const int here = questions / categories + (c < questions % categories ? 1 : 0);
        for (int q = 0; q < here; ++q, ++added) {
          tsa::NodePtr question =
              tree->createNode(tsa::storage::kRepQuestion, "Question " + std::to_string(added),
                               "Does the device show error " + std::to_string(added) + "?", ";1;2;", ";", -1);
          category->AppendChild(*question);
          if (added == questions / 2) {
            info.node = question->NodeID;
            info.repId = question->RepID;
          }
        }
      }
      tree->save();
      tsa::CompleteTransaction();
    });
    tsa::RunTransactional([&] {
      const int32_t category = tsa::storage::DocumentCategory(kProductTree, true);
      auto files = tsa::CreateInContext<tsa::IFileHandling>(tsa::progid::FileHandling);
      info.path = tsa::storage::GetXMLPath(kProductTree,
                                           tsa::CurrentFileName(files->GetFileNames(info.id, {category}), category), true);
    });
    std::fprintf(stderr, "%s: built a tree of %d nodes in %.1f s\n", label_.c_str(), nodes,
                 std::chrono::duration<double>(Clock::now() - started).count());
    return info;
  }

  std::string label_;
  std::string pgServer_;
  std::string dataDir_;
  std::vector<std::string> schemas_;
  tsa::Settings settings_;
  std::map<int, TreeInfo> trees_;
  std::map<int, TreeInfo> clientTrees_;
};

// The backends (built on first use) and the one service that serves
// whichever backend is active. The service goes first at the end.
struct Harness {
  Harness() { tsa::TuneAllocator(); }
  std::map<std::string, std::unique_ptr<Backend>> backends;
  std::unique_ptr<tsa::server::HttpService> service;

  Backend& Use(const std::string& label, const std::string& pgServer) {
    auto& b = backends[label];
    if (!b) b = std::make_unique<Backend>(label, pgServer);
    b->Activate();
    if (!service) {
      tsa::server::ServiceOptions o;
      o.dataDir = b->dataDir();
      o.threads = 4;
      o.accessLog = [](const std::string&) {};
      o.token = kServiceToken;  // the service account, acting for kUser
      service = std::make_unique<tsa::server::HttpService>(o);
      service->SetTreeReadHandler(tsa::server::ReadTree);
      service->Start();
    }
    return *b;
  }

  ~Harness() {
    if (service) service->Stop();
    service.reset();
    backends.clear();
  }
};

Harness& Shared() {
  // The engine's singletons that the harness uses at the end are made
  // before it, so that they are destroyed after it.
  tsa::db::SessionPool::Instance();
  tsa::Registry::Instance();
  static Harness h;
  return h;
}

// --- the operations --------------------------------------------------------------

// InProcess: the TSDOM object (the read handler for reads); Local: by name
// in this process; Http: JSON-RPC (a GET for reads) on loopback.
enum class Mode { InProcess, Local, Http, Floor, FloorNoParse };
// The reads: ReadDocument (the stored bytes, nothing parsed), ReadTreeJson
// (the tree as JSON, GET /trees/../json: the rendering kept, so a call
// checks that it is still current), ReadTreeJsonRender (the rendering
// dropped before each call, the parsed document kept) and ReadTreeJsonParse
// (both dropped: parse, rows, render).
enum class Operation {
  AddChildNew,
  SaveNode,
  MoveNode,
  ReadDocument,
  ReadTreeJson,
  ReadTreeJsonRender,
  ReadTreeJsonParse,
  Publish,
  PublishUnversioned
};

bool IsRead(Operation op) {
  return op == Operation::ReadDocument || op == Operation::ReadTreeJson ||
         op == Operation::ReadTreeJsonRender || op == Operation::ReadTreeJsonParse;
}

json AddChildNewParams(const TreeInfo& t, int i) {
  return {{"i_lTreeType", kProductTree},
          {"i_lID", t.id},
          {"i_lCurrentNodeID", t.category},
          {"i_lRepType", tsa::storage::kRepQuestion},
          {"i_sSDesc", "Added question " + std::to_string(i)},
          {"i_sLDesc", "Is the added part " + std::to_string(i) + " seated?"},
          {"i_sVisibilities", ";1;"},
          {"i_sFAQs", ";"},
          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", kUser}};
}

// Two texts in turn, so that every save changes the node; the entity is
// changed in place (and the change carried to the other trees that show it).
json SaveNodeParams(const TreeInfo& t, int i) {
  return {{"i_lTreeType", kProductTree},
          {"i_lID", t.id},
          {"i_lNodeID", t.node},
          {"i_lRepID", t.repId},
          {"i_sSDesc", i % 2 ? "Is the tray closed?" : "Is the tray open?"},
          {"i_sLDesc", "Check the tray"},
          {"i_bPropogateContent", true},
          {"i_sVisibilities", ";1;2;"},
          {"i_bPropogateVisibDown", false},
          {"i_sFAQs", ";"},
          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", kUser}};
}


// --- the floors ------------------------------------------------------------------

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

 private:
  std::string& out_;
};

std::string ReadFile(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  struct stat st {};
  ::fstat(fd, &st);
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  ::close(fd);
  return out;
}

// A temporary written and synced, renamed over the file, the folder synced.
void WriteDurably(const std::string& path, const std::string& data) {
  const std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  size_t done = 0;
  while (fd >= 0 && done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  ::rename(temp.c_str(), path.c_str());
  int dir = ::open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

// Finds the Node element with this NID (the edits' targets).
pugi::xml_node NodeWithId(const pugi::xml_document& doc, int32_t nid) {
  const std::string value = std::to_string(nid);
  return doc.find_node([&](pugi::xml_node n) { return std::strcmp(n.attribute("NID").value(), value.c_str()) == 0; });
}

void RunFloor(benchmark::State& state, const std::string& label, const std::string& pgServer, Operation op, int nodes,
              bool parseEachCall) {
  Harness& harness = Shared();
  TreeInfo tree;
  try {
    harness.Use(label, pgServer);
    tree = harness.backends[label]->Tree(nodes);
  } catch (const tsa::Error& e) {
    state.SkipWithError(("setting up failed: " + e.description()).c_str());
    return;
  }
  // A copy of the working document, so that the engine's file stays as it is.
  const std::string path =
      (std::filesystem::path(harness.backends[label]->dataDir()) / ("floor-" + std::to_string(nodes) + ".xml")).string();
  // With the documents in the database there is no file to copy: the
  // stored document is written out as one.
  if (std::filesystem::is_regular_file(tree.path)) {
    std::filesystem::copy_file(tree.path, path, std::filesystem::copy_options::overwrite_existing);
  } else {
    std::string markup;
    tsa::RunTransactional([&] { markup = tsa::DocumentStore()->Load(tree.path); });
    std::ofstream(path, std::ios::binary | std::ios::trunc) << markup;
  }
  constexpr unsigned kParse = (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;
  constexpr unsigned kFormat = pugi::format_raw | pugi::format_no_declaration;

  std::shared_ptr<tsa::db::Session> session;
  try {
    session = tsa::db::SessionPool::Instance().Acquire(tsa::CurrentSettings().HelvixUri());
    session->Execute("CREATE TABLE IF NOT EXISTS FLOORBENCH (K INTEGER NOT NULL, V TEXT)");
  } catch (const tsa::Error& e) {
    state.SkipWithError(("the floor's table: " + e.description()).c_str());
    return;
  }
  const tsa::db::Dialect& d = session->dialect();
  const std::string insert = "INSERT INTO FLOORBENCH (K, V) VALUES (" + d.Placeholder(1) + ", " + d.Placeholder(2) + ")";
  const std::string update = "UPDATE FLOORBENCH SET V = " + d.Placeholder(2) + " WHERE K = " + d.Placeholder(1);

  pugi::xml_document kept;
  if (!parseEachCall) kept.load_string(ReadFile(path).c_str(), kParse);
  Latencies latencies(static_cast<size_t>(state.max_iterations));
  int i = 0;
  for (auto _ : state) {
    ++i;
    pugi::xml_document parsed;
    latencies.Time([&] {
      if (IsRead(op)) {
        benchmark::DoNotOptimize(ReadFile(path).size());
        return;
      }
      pugi::xml_document* doc = &kept;
      if (parseEachCall) {
        const std::string markup = ReadFile(path);
        parsed.load_buffer(markup.data(), markup.size(), kParse, pugi::encoding_utf8);
        doc = &parsed;
      }
      const std::string text = "Floor text " + std::to_string(i);
      switch (op) {
        case Operation::AddChildNew: {
          pugi::xml_node parent = NodeWithId(*doc, tree.category);
          pugi::xml_node added = parent.append_child("Node");
          added.append_attribute("NID") = 900000 + i;
          added.append_attribute("RID") = 900000 + i;
          added.append_attribute("RT") = 2;
          added.append_child("sd").text().set(text.c_str());
          added.append_child("ld").text().set(text.c_str());
          break;
        }
        case Operation::SaveNode:
          NodeWithId(*doc, tree.node).child("sd").text().set(text.c_str());
          break;
        case Operation::MoveNode: {
          pugi::xml_node node = NodeWithId(*doc, tree.node);
          if (pugi::xml_node before = node.previous_sibling("Node")) node.parent().insert_move_before(node, before);
          else if (pugi::xml_node after = node.next_sibling("Node")) node.parent().insert_move_after(node, after);
          break;
        }
        case Operation::ReadDocument:
        case Operation::ReadTreeJson:
        case Operation::ReadTreeJsonRender:
        case Operation::ReadTreeJsonParse:
        case Operation::Publish:  // no floor: publishing is measured with and without versions
        case Operation::PublishUnversioned:
          break;
      }
      std::string markup;
      StringWriter writer(markup);
      doc->save(writer, "", kFormat, pugi::encoding_utf8);
      WriteDurably(path, markup);
      session->Begin();
      session->Execute(op == Operation::AddChildNew ? insert : update, {tsa::db::Value(i), tsa::db::Value(text)});
      session->Execute(op == Operation::AddChildNew ? insert : update, {tsa::db::Value(i + 1), tsa::db::Value(text)});
      session->Commit();
    });
    if (op == Operation::AddChildNew) {
      state.PauseTiming();
      // The tree keeps its size, as the engine's does.
      pugi::xml_document& doc = parseEachCall ? parsed : kept;
      pugi::xml_node added = NodeWithId(doc, 900000 + i);
      added.parent().remove_child(added);
      std::string markup;
      StringWriter writer(markup);
      doc.save(writer, "", kFormat, pugi::encoding_utf8);
      WriteDurably(path, markup);
      state.ResumeTiming();
    }
  }
  latencies.Report(state);
}

void Run(benchmark::State& state, const std::string& label, const std::string& pgServer, Operation op, int nodes,
         Mode mode) {
  if (mode == Mode::Floor || mode == Mode::FloorNoParse) {
    return RunFloor(state, label, pgServer, op, nodes, mode == Mode::Floor);
  }
  // Other benchmarks of this program stand a fake in for TSDOM; these need
  // the engine's own class.
  tsa::ScopedRegistration engine(tsa::progid::TSDOM, [] { return std::make_shared<tsa::TSDOM>(); });
  Harness& harness = Shared();
  TreeInfo tree;
  try {
    harness.Use(label, pgServer);
    tree = harness.backends[label]->Tree(nodes);
  } catch (const tsa::Error& e) {
    state.SkipWithError(("setting up failed: " + e.description()).c_str());
    return;
  }
  auto dom = tsa::CreateTSDOMObject();
  httplib::Client http("127.0.0.1", harness.service->Port());
  http.set_bearer_token_auth(kServiceToken);
  http.set_keep_alive(true);
  http.set_tcp_nodelay(true);
  http.set_read_timeout(120, 0);
  const std::string documentPath =
      "/trees/1/" + std::to_string(tree.id) + "/document?user=" + std::string(kUser);
  const std::string jsonPath = "/trees/1/" + std::to_string(tree.id) + "/json?user=" + std::string(kUser);

  // One call over HTTP: its answer's result, or a skip with its error.
  int64_t rpcId = 0;
  auto rpc = [&](const char* method, const json& params) -> std::optional<json> {
    json request = {{"jsonrpc", "2.0"}, {"id", ++rpcId}, {"method", method}, {"params", params}};
    auto res = http.Post("/rpc", request.dump(), "application/json");
    if (!res || res->status != 200) {
      state.SkipWithError((std::string(method) + ": no answer over HTTP").c_str());
      return std::nullopt;
    }
    json answer = json::parse(res->body, nullptr, false);
    if (!answer.is_object() || !answer.contains("result")) {
      state.SkipWithError((std::string(method) + " failed: " + res->body.substr(0, 300)).c_str());
      return std::nullopt;
    }
    return answer["result"];
  };
  // The way the node was added: a session of the service's worker and one
  // of this thread would otherwise take turns on the database, and each
  // would find its cache stale every time.
  auto removeNode = [&](int32_t node) {
    if (mode == Mode::Http) {
      rpc("TSDOM.DeleteNode",
          {{"i_lTreeType", kProductTree}, {"i_lID", tree.id}, {"i_lNodeID", node}, {"i_sUserId", kUser}});
      return;
    }
    try {
      dom->DeleteNode(kProductTree, tree.id, node, kUser);
    } catch (const tsa::Error& e) {
      state.SkipWithError(("removing the added node failed: " + e.description()).c_str());
    }
  };

  // A facade call by name: CallLocal in this process (the binding of the
  // service without its transport) or JSON-RPC over HTTP.
  auto byName = [&](const char* method, const json& params) -> std::optional<json> {
    if (mode == Mode::Http) return rpc(method, params);
    return tsa::server::CallLocal(method, params);
  };

  Latencies latencies(static_cast<size_t>(state.max_iterations));
  int i = 0;
  try {
    for (auto _ : state) {
      ++i;
      switch (op) {
        case Operation::AddChildNew: {
          const json p = AddChildNewParams(tree, i);
          int32_t added = -1;
          if (mode == Mode::InProcess) {
            latencies.Time([&] {
              added = dom->AddChildNew(kProductTree, tree.id, tree.category, tsa::storage::kRepQuestion,
                                       p["i_sSDesc"].get<std::string>(), p["i_sLDesc"].get<std::string>(), ";1;",
                                       ";", -1, kUser);
            });
          } else {
            std::optional<json> result;
            latencies.Time([&] { result = byName("TSDOM.AddChildNew", p); });
            if (!result) return;
            added = result->get<int32_t>();
          }
          state.PauseTiming();
          removeNode(added);
          state.ResumeTiming();
          break;
        }
        case Operation::SaveNode: {
          const json p = SaveNodeParams(tree, i);
          if (mode == Mode::InProcess) {
            latencies.Time([&] {
              dom->SaveNode(kProductTree, tree.id, tree.node, tree.repId, p["i_sSDesc"].get<std::string>(),
                            p["i_sLDesc"].get<std::string>(), true, ";1;2;", false, ";", -1, kUser);
            });
          } else {
            std::optional<json> result;
            latencies.Time([&] { result = byName("TSDOM.SaveNode", p); });
            if (!result) return;
          }
          break;
        }
        case Operation::MoveNode: {
          // Up and down in turn, so that the tree stays as it was.
          const int32_t direction = i % 2 ? 1 : 2;
          if (mode == Mode::InProcess) {
            latencies.Time([&] { dom->MoveNode(kProductTree, tree.id, tree.node, direction, kUser); });
          } else {
            std::optional<json> result;
            latencies.Time([&] {
              result = byName("TSDOM.MoveNode", {{"i_lTreeType", kProductTree},
                                                 {"i_lID", tree.id},
                                                 {"i_lNodeID", tree.node},
                                                 {"i_lDirection", direction},
                                                 {"i_sUserId", kUser}});
            });
            if (!result) return;
          }
          break;
        }
        case Operation::Publish:
        case Operation::PublishUnversioned: {
          tsa::Settings settings = tsa::CurrentSettings();
          const tsa::Settings kept = settings;
          settings.versionsKept = op == Operation::Publish ? 50 : 0;
          tsa::SetCurrentSettings(settings);
          latencies.Time([&] { dom->Publish(kProductTree, tree.id); });
          tsa::SetCurrentSettings(kept);
          state.PauseTiming();
          std::string owner;
          dom->CheckOut(kProductTree, tree.id, kUser, owner);
          state.ResumeTiming();
          break;
        }
        case Operation::ReadDocument:
        case Operation::ReadTreeJson:
        case Operation::ReadTreeJsonRender:
        case Operation::ReadTreeJsonParse: {
          const bool asJson = op == Operation::ReadTreeJson || op == Operation::ReadTreeJsonRender ||
                              op == Operation::ReadTreeJsonParse;
          if (op == Operation::ReadTreeJsonRender || op == Operation::ReadTreeJsonParse) tsa::ClearTreeJsonCache();
          if (op == Operation::ReadTreeJsonParse) {
            tsa::storage::ClearDocumentCache();
          }
          if (mode != Mode::Http) {
            tsa::server::TreeReadRequest request;
            request.treeType = kProductTree;
            request.id = tree.id;
            request.user = kUser;
            request.json = asJson;
            // What the HTTP layer calls: the stored bytes shared, not copied.
            latencies.Time([&] {
              const tsa::server::HttpReply reply = tsa::server::ReadTreeFor(request, {});
              benchmark::DoNotOptimize(reply.sharedBody ? reply.sharedBody->size() : reply.body.size());
            });
          } else {
            bool ok = false;
            latencies.Time([&] {
              auto res = http.Get(asJson ? jsonPath : documentPath);
              ok = res && res->status == 200;
            });
            if (!ok) {
              state.SkipWithError("the document read failed");
              return;
            }
          }
          break;
        }
      }
    }
  } catch (const tsa::Error& e) {
    state.SkipWithError(("the call failed: " + e.description()).c_str());
    return;
  }
  latencies.Report(state);
}

// Several clients at once over HTTP, each with its own connection and its
// own tree of 1,000 nodes: AddChildNew, then DeleteNode of the added node,
// `kPairs` times. Reports the calls per second of all clients together and
// the median and 95th percentile latency of the calls; the figure of one
// client is the baseline of the others.
void RunClients(benchmark::State& state, const std::string& label, const std::string& pgServer, int clients) {
  constexpr int kPairs = 60;
  tsa::ScopedRegistration engine(tsa::progid::TSDOM, [] { return std::make_shared<tsa::TSDOM>(); });
  Harness& harness = Shared();
  std::vector<TreeInfo> trees;
  try {
    harness.Use(label, pgServer);
    for (int c = 0; c < clients; ++c) trees.push_back(harness.backends[label]->ClientTree(c));
  } catch (const tsa::Error& e) {
    state.SkipWithError(("setting up failed: " + e.description()).c_str());
    return;
  }
  std::vector<double> ms;
  double seconds = 0;
  std::atomic<int> failures{0};
  for (auto _ : state) {
    std::vector<std::vector<double>> each(static_cast<size_t>(clients));
    const auto started = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        httplib::Client http("127.0.0.1", harness.service->Port());
        http.set_bearer_token_auth(kServiceToken);
        http.set_keep_alive(true);
        http.set_tcp_nodelay(true);
        http.set_read_timeout(120, 0);
        const TreeInfo& tree = trees[static_cast<size_t>(c)];
        auto call = [&](const char* method, const json& params) -> std::optional<json> {
          const std::string body =
              json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}}.dump();
          const auto start = Clock::now();
          auto res = http.Post("/rpc", body, "application/json");
          each[static_cast<size_t>(c)].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
          json answer = res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
          if (!answer.is_object() || !answer.contains("result")) {
            ++failures;
            return std::nullopt;
          }
          return answer["result"];
        };
        for (int i = 0; i < kPairs; ++i) {
          auto added = call("TSDOM.AddChildNew", AddChildNewParams(tree, i));
          if (!added) return;
          if (!call("TSDOM.DeleteNode", {{"i_lTreeType", kProductTree},
                                         {"i_lID", tree.id},
                                         {"i_lNodeID", added->get<int32_t>()},
                                         {"i_sUserId", kUser}})) {
            return;
          }
        }
      });
    }
    for (auto& t : threads) t.join();
    seconds += std::chrono::duration<double>(Clock::now() - started).count();
    for (auto& e : each) ms.insert(ms.end(), e.begin(), e.end());
  }
  if (failures > 0 || ms.empty()) {
    state.SkipWithError("a call failed");
    return;
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
  };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p95_ms"] = at(0.95);
  state.counters["calls_per_s"] = static_cast<double>(ms.size()) / seconds;
  state.counters["rss_mb"] = ResidentMegabytes();
}

const char* OperationName(Operation op) {
  switch (op) {
    case Operation::AddChildNew: return "AddChildNew";
    case Operation::SaveNode: return "SaveNode";
    case Operation::MoveNode: return "MoveNode";
    case Operation::ReadDocument: return "ReadDocument";
    case Operation::ReadTreeJson: return "ReadTreeJson";
    case Operation::ReadTreeJsonRender: return "ReadTreeJsonRender";
    case Operation::ReadTreeJsonParse: return "ReadTreeJsonParse";
    case Operation::Publish: return "Publish";
    case Operation::PublishUnversioned: return "PublishUnversioned";
  }
  return "?";
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::InProcess: return "inproc";
    case Mode::Local: return "local";
    case Mode::Http: return "http";
    case Mode::Floor: return "floor";
    case Mode::FloorNoParse: return "floor-noparse";
  }
  return "?";
}

// Registers every benchmark of a backend, size by size.
void RegisterFor(const std::string& label, const std::string& pgServer) {
  for (int nodes : kSizes) {
    for (Operation op : {Operation::AddChildNew, Operation::SaveNode, Operation::MoveNode, Operation::ReadDocument,
                         Operation::ReadTreeJson, Operation::ReadTreeJsonRender,
                         Operation::ReadTreeJsonParse, Operation::Publish, Operation::PublishUnversioned}) {
      for (Mode mode : {Mode::InProcess, Mode::Local, Mode::Http, Mode::Floor, Mode::FloorNoParse}) {
        // Publishing with and without versions, in process, up to 10,000 nodes.
        const bool publish = op == Operation::Publish || op == Operation::PublishUnversioned;
        if (publish && (mode != Mode::InProcess || nodes > 10000)) continue;
        // Reads have no call by name: the handler is the in-process figure;
        // their floor reads the file, with nothing to parse.
        if (IsRead(op) && (mode == Mode::Local || mode == Mode::FloorNoParse)) continue;
        // The variants of the reads: in process, and the floor once.
        if (op != Operation::ReadDocument && IsRead(op) && mode != Mode::InProcess &&
            !(op == Operation::ReadTreeJson && mode == Mode::Http)) {
          continue;
        }
        // By name in process is the engine's share without the transport:
        // kept for the smaller trees only.
        if (mode == Mode::Local && nodes > 10000) continue;
        // The file store on PostgreSQL: the comparison in process only.
        if (label == "postgresql-files" && (mode != Mode::InProcess || publish)) continue;
        const std::string name = "service/" + label + "/" + OperationName(op) + "/" + std::to_string(nodes) + "/" +
                                 ModeName(mode);
        const int calls = IsRead(op) ? ReadCalls(nodes) : WriteCalls(nodes);
        benchmark::RegisterBenchmark(name.c_str(), Run, label, pgServer, op, nodes, mode)
            ->Iterations(calls)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
    }
  }
}

// Edits of different trees by several clients at once, over HTTP.
void RegisterClientsFor(const std::string& label, const std::string& pgServer) {
  for (int clients : {1, kMaxClients}) {
    const std::string name = "service/" + label + "/AddChildNew+DeleteNode/" + std::to_string(kClientTreeNodes) +
                             "/http-clients:" + std::to_string(clients);
    benchmark::RegisterBenchmark(name.c_str(), RunClients, label, pgServer, clients)
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

[[maybe_unused]] const bool kRegistered = [] {
  RegisterFor("sqlite", "");
  RegisterClientsFor("sqlite", "");
  if (const char* pg = std::getenv("TSAUTHOR_BENCH_PG"); pg && *pg) {
    RegisterFor("postgresql", pg);
    RegisterClientsFor("postgresql", pg);
    RegisterFor("postgresql-files", pg);
  }
  return true;
}();

}  // namespace
