#include "platform/files/document_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "platform/db/session.h"
#include "platform/files/database_store.h"
#include "runtime/context.h"
#include "runtime/faults.h"
#include "runtime/settings.h"

namespace fs = std::filesystem;

namespace tsa {

namespace {

// Classic numbers beyond those in err::.
constexpr int32_t kDiskFull = 61;
constexpr int32_t kFileAccessError = 75;

constexpr const char* kSource = "Korventa.DocumentStore";
constexpr const char* kEnlistKey = "Korventa.DocumentStore";

// --- system calls, through the fault seam -------------------------------------
//
// Each call that changes or reads a document file asks the seam first; an
// injected fault looks to the code here exactly like the system's failure.

template <class F>
auto Faultable(faults::Call call, F&& f) -> decltype(f()) {
  if (int code = faults::CheckFile(call)) {
    errno = code;
    return -1;
  }
  return f();
}

int SysOpen(const char* path, int flags, mode_t mode = 0) {
  return Faultable(faults::Call::Open, [&] { return ::open(path, flags, mode); });
}
ssize_t SysRead(int fd, void* buf, size_t n) {
  return Faultable(faults::Call::Read, [&] { return ::read(fd, buf, n); });
}
ssize_t SysWrite(int fd, const void* buf, size_t n) {
  return Faultable(faults::Call::Write, [&] { return ::write(fd, buf, n); });
}
int SysSync(int fd) {
  return Faultable(faults::Call::Sync, [&] { return ::fsync(fd); });
}
int SysSyncFolder(int fd) {
  return Faultable(faults::Call::SyncFolder, [&] { return ::fsync(fd); });
}
int SysRename(const char* from, const char* to) {
  return Faultable(faults::Call::Rename, [&] { return ::rename(from, to); });
}
int SysLink(const char* from, const char* to) {
  return Faultable(faults::Call::Link, [&] { return ::link(from, to); });
}
int SysUnlink(const char* path) {
  return Faultable(faults::Call::Unlink, [&] { return ::unlink(path); });
}
int SysMkdir(const char* path, mode_t mode) {
  return Faultable(faults::Call::MakeFolder, [&] { return ::mkdir(path, mode); });
}

// --- small file-system helpers ----------------------------------------------

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::string ParentOf(const std::string& path) {
  fs::path p(path);
  std::string parent = p.parent_path().string();
  return parent.empty() ? std::string("/") : parent;
}

// The last component ("" for a path that ends in a separator), as
// std::filesystem names it, without splitting the whole path.
std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EntryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Raises the classic error for a failed file-system call on `path`.
[[noreturn]] void RaiseFileError(int code, std::string_view action, const std::string& path) {
  std::string detail = std::string(action) + " '" + path + "': " + std::strerror(code);
  switch (code) {
    case ENOENT:
      if (!IsDirectory(ParentOf(path))) Raise(err::PathNotFound, kSource, "Path not found: " + detail);
      Raise(err::FileNotFound, kSource, "File not found: " + detail);
    case EEXIST:
    case ENOTEMPTY:
    case EISDIR:
      Raise(err::FileAlreadyExists, kSource, "File already exists: " + detail);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      Raise(err::PermissionDenied, kSource, "Permission denied: " + detail);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      Raise(err::PathNotFound, kSource, "Path not found: " + detail);
    case ENOSPC:
    case EDQUOT:
      Raise(kDiskFull, kSource, "Disk full: " + detail);
    default:
      Raise(kFileAccessError, kSource, "Path/File access error: " + detail);
  }
}

void FsyncDirectory(const std::string& dir) {
  Fd fd(SysOpen(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) RaiseFileError(errno, "Cannot open the folder", dir);
  if (SysSyncFolder(fd.get()) != 0 && errno != EINVAL) RaiseFileError(errno, "Cannot sync the folder", dir);
}

// Creates a folder and its missing parents, syncing each parent whose
// entries changed so that the new folders survive a crash.
void EnsureDirectory(const std::string& dir) {
  if (IsDirectory(dir)) return;
  std::string parent = ParentOf(dir);
  if (parent != dir) EnsureDirectory(parent);
  if (SysMkdir(dir.c_str(), 0777) != 0) {
    int code = errno;
    if (code == EEXIST) {
      if (IsDirectory(dir)) return;
      code = ENOTDIR;  // a file stands where the folder belongs
    }
    RaiseFileError(code, "Cannot create the folder", dir);
  }
  FsyncDirectory(parent);
}

std::string RandomHex() {
  thread_local std::mt19937_64 engine{[] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
  }()};
  static constexpr char kDigits[] = "0123456789abcdef";
  uint64_t v = engine();
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = kDigits[v & 0xF];
  return s;
}

std::string NewTempName(const std::string& target) { return target + std::string(kStoreTempMarker) + RandomHex(); }

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// --- spare temporaries ----------------------------------------------------------
//
// Empty temporaries whose names a folder sync already made durable, by
// folder. A staged save writes into one of them, so that its name needs no
// folder sync before the commit. Only this process knows them; recovery
// removes them as orphans (they hold nothing), and a spare found missing is
// simply not used.

constexpr size_t kSparesPerFolder = 8;
std::mutex g_spareMutex;
std::map<std::string, std::vector<std::string>> g_spares;

std::string NewSpareName(const std::string& folder) {
  return (fs::path(folder) / (std::string(kStoreSpareName) + std::string(kStoreTempMarker) + RandomHex())).string();
}

// Opens a spare of `folder` for writing (emptied); an invalid Fd when none
// is left.
Fd TakeSpare(const std::string& folder, std::string& name) {
  for (;;) {
    {
      std::lock_guard lock(g_spareMutex);
      auto it = g_spares.find(folder);
      if (it == g_spares.end() || it->second.empty()) return Fd();
      name = std::move(it->second.back());
      it->second.pop_back();
    }
    Fd fd(SysOpen(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (fd.valid()) return fd;
  }
}

// Creates a spare in `folder` when it has fewer than its share. The caller
// syncs the folder next and then calls KeepSpare; an empty name when none
// was made.
std::string CreateSpare(const std::string& folder) {
  {
    std::lock_guard lock(g_spareMutex);
    auto it = g_spares.find(folder);
    if (it != g_spares.end() && it->second.size() >= kSparesPerFolder) return {};
  }
  std::string name = NewSpareName(folder);
  Fd fd(SysOpen(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  return fd.valid() ? name : std::string();
}

void KeepSpare(const std::string& folder, std::string name) {
  std::lock_guard lock(g_spareMutex);
  g_spares[folder].push_back(std::move(name));
}

// --- finished intents --------------------------------------------------------------

// Batches of this process whose changes are in place and synced; their
// intents go with the next batch that writes intents.
std::mutex g_finishedMutex;
std::vector<std::string> g_finishedBatches;

std::vector<std::string> TakeFinishedBatches() {
  std::lock_guard lock(g_finishedMutex);
  return std::exchange(g_finishedBatches, {});
}

void ReturnFinishedBatches(const std::vector<std::string>& batches) {
  std::lock_guard lock(g_finishedMutex);
  g_finishedBatches.insert(g_finishedBatches.end(), batches.begin(), batches.end());
}

// Writes `contents` to a temporary file next to `target` and syncs it: a
// spare when the folder has one (`nameDurable` is then true), else a new
// file. The folder is created when missing. Returns the temporary's path.
std::string WriteTemp(const std::string& target, const std::string& contents, bool* nameDurable = nullptr) {
  const std::string folder = ParentOf(target);
  EnsureDirectory(folder);
  std::string temp;
  Fd fd = TakeSpare(folder, temp);
  if (nameDurable) *nameDurable = fd.valid();
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temp = NewTempName(target);
    fd = Fd(SysOpen(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid() && errno != EEXIST) RaiseFileError(errno, "Cannot create a file next to", target);
  }
  if (!fd.valid()) RaiseFileError(EEXIST, "Cannot create a file next to", target);
  auto fail = [&](int code, std::string_view action) {
    fd.Reset();
    SysUnlink(temp.c_str());
    RaiseFileError(code, action, target);
  };
  const char* p = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    ssize_t n = SysWrite(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "Cannot write");
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (SysSync(fd.get()) != 0) fail(errno, "Cannot sync");
  fd.Reset();
  return temp;
}

std::string ReadWholeFile(const std::string& path, FileIdentity* identity = nullptr) {
  Fd fd(SysOpen(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) RaiseFileError(errno, "Cannot open", path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) RaiseFileError(errno, "Cannot read", path);
  if (!S_ISREG(st.st_mode)) Raise(err::FileNotFound, kSource, "File not found: '" + path + "' is not a file");
  if (identity) *identity = IdentityOf(st);
  // Straight into the result; a file that grew meanwhile is read to its end.
  std::string out(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t done = 0;
  for (;;) {
    if (done == out.size()) out.resize(out.size() * 2);
    ssize_t n = SysRead(fd.get(), out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, "Cannot read", path);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

void RenameOver(const std::string& from, const std::string& to) {
  if (SysRename(from.c_str(), to.c_str()) != 0) RaiseFileError(errno, "Cannot replace", to);
}

// --- simulated crashes --------------------------------------------------------

std::mutex g_hookMutex;
CrashHook g_crashHook;

bool CrashAt(const std::string& step) {
  CrashHook hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_crashHook;
  }
  return hook && hook(step);
}

[[noreturn]] void RaiseSimulatedCrash(const std::string& step) {
  Raise(err::InternalError, kSource, "Simulated crash at " + step);
}

// --- locks ----------------------------------------------------------------------

std::string DocumentsRoot() {
  const Settings& s = CurrentSettings();
  return s.installDir.empty() ? s.dataDir : s.installDir;
}

// --- owners ------------------------------------------------------------------------

// A batch is named <owner>.<random>; batches written before owners existed
// have no ".". Those are finished by whoever meets them, as they always were.
bool OwnedBy(const std::string& batch, const std::string& owner) {
  if (batch.find('.') == std::string::npos) return true;
  return batch.size() > owner.size() && batch.compare(0, owner.size(), owner) == 0 && batch[owner.size()] == '.';
}

bool IsOwnerText(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A lock on the store's lock file, through its own open file description so
// that threads of one process exclude each other as processes do.
class StoreLock {
 public:
  // Waits for a shared lock.
  static StoreLock Shared(const std::string& root) {
    StoreLock l(root);
    while (::flock(l.fd_.get(), LOCK_SH) != 0) {
      if (errno != EINTR) RaiseFileError(errno, "Cannot lock", l.path_);
    }
    return l;
  }
  // An exclusive lock when nobody holds one, else an invalid lock.
  static StoreLock TryExclusive(const std::string& root) {
    StoreLock l(root);
    if (::flock(l.fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK || errno == EINTR) l.fd_.Reset();
      else RaiseFileError(errno, "Cannot lock", l.path_);
    }
    return l;
  }
  bool Held() const { return fd_.valid(); }
  void Release() { fd_.Reset(); }

 private:
  explicit StoreLock(const std::string& root) : path_((fs::path(root) / kStoreLockFile).string()) {
    EnsureDirectory(root);
    fd_ = Fd(SysOpen(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid()) RaiseFileError(errno, "Cannot open the lock file", path_);
  }
  std::string path_;
  Fd fd_;
};

// The paths whose committed changes this process is putting in place. A
// committing transaction claims the paths it changes after its intents are
// written and keeps them until the changes are applied, so that two commits
// replace one file in the order the databases committed them; commits of
// other documents go on side by side. A claim's holder never waits for the
// database.
std::mutex g_applyingMutex;
std::condition_variable g_applyingDone;
std::set<std::string> g_applying;
// Whether this thread holds claims (it is applying a commit's changes).
thread_local bool t_applying = false;

bool AnyClaimed(const std::vector<std::string>& paths) {
  for (const auto& p : paths)
    if (g_applying.count(p) != 0) return true;
  return false;
}

// The databases of a committing transaction release their locks before its
// files are in place. A transaction that takes those locks next must not
// read (or stage the deletion of) a file that is about to be replaced, so
// every operation that looks at files on disk first waits until the
// commits being applied to those paths are done.
void AwaitCommitsBeingApplied(const std::vector<std::string>& paths) {
  if (t_applying) return;
  std::unique_lock lock(g_applyingMutex);
  g_applyingDone.wait(lock, [&] { return !AnyClaimed(paths); });
}

// The claim on a committing transaction's paths; released when the changes
// are applied (or abandoned).
class ApplyClaim {
 public:
  ApplyClaim() = default;
  ApplyClaim(const ApplyClaim&) = delete;
  ApplyClaim& operator=(const ApplyClaim&) = delete;
  ~ApplyClaim() { Release(); }

  void Take(std::vector<std::string> paths) {
    Release();
    std::unique_lock lock(g_applyingMutex);
    g_applyingDone.wait(lock, [&] { return !AnyClaimed(paths); });
    g_applying.insert(paths.begin(), paths.end());
    paths_ = std::move(paths);
    held_ = true;
    t_applying = true;
  }

  void Release() noexcept {
    if (!held_) return;
    {
      std::lock_guard lock(g_applyingMutex);
      for (const auto& p : paths_) g_applying.erase(p);
    }
    held_ = false;
    t_applying = false;
    g_applyingDone.notify_all();
  }

 private:
  std::vector<std::string> paths_;
  bool held_ = false;
};

// --- intents ----------------------------------------------------------------------

constexpr const char* kOpRename = "RENAME";
constexpr const char* kOpDelete = "DELETE";

struct Intent {
  std::string operation;
  std::string source;  // rename: the temporary; delete: the victim link, or "" for an unconditional delete
  std::string target;
};

enum class ApplyResult { Done, AlreadyDone };

// Applies one change. Each can be redone: a rename whose temporary is gone
// happened already; a deletion removes the target only while it is still
// the file its victim link points at, so a newer file is never taken.
ApplyResult ApplyIntent(const Intent& i) {
  if (i.operation == kOpRename) {
    if (!EntryExists(i.source)) return ApplyResult::AlreadyDone;
    EnsureDirectory(ParentOf(i.target));
    if (SysRename(i.source.c_str(), i.target.c_str()) != 0) {
      if (errno == ENOENT && !EntryExists(i.source)) return ApplyResult::AlreadyDone;
      RaiseFileError(errno, "Cannot replace", i.target);
    }
    return ApplyResult::Done;
  }
  if (i.operation == kOpDelete) {
    if (i.source.empty()) {
      if (SysUnlink(i.target.c_str()) != 0) {
        if (errno == ENOENT) return ApplyResult::AlreadyDone;
        RaiseFileError(errno, "Cannot delete", i.target);
      }
      return ApplyResult::Done;
    }
    struct stat victim {};
    if (::lstat(i.source.c_str(), &victim) != 0) return ApplyResult::AlreadyDone;
    struct stat current {};
    ApplyResult result = ApplyResult::AlreadyDone;  // gone, or replaced by a later change
    if (::lstat(i.target.c_str(), &current) == 0 && current.st_dev == victim.st_dev &&
        current.st_ino == victim.st_ino) {
      if (SysUnlink(i.target.c_str()) != 0 && errno != ENOENT) RaiseFileError(errno, "Cannot delete", i.target);
      result = ApplyResult::Done;
    }
    if (SysUnlink(i.source.c_str()) != 0 && errno != ENOENT) RaiseFileError(errno, "Cannot delete", i.source);
    return result;
  }
  Raise(err::InternalError, kSource, "Unknown document intent '" + i.operation + "' for " + i.target);
}

// Whether an intent still has something to do (an unconditional deletion
// cannot tell, so it counts as pending).
bool Pending(const Intent& i) {
  if (i.operation == kOpRename) return EntryExists(i.source);
  if (i.operation == kOpDelete && !i.source.empty()) {
    struct stat victim {};
    return ::lstat(i.source.c_str(), &victim) == 0;
  }
  return true;
}

// Refuses an intent read back from the database that the store would never
// have written: a tampered row must not reach outside the documents.
void CheckIntent(const Intent& i) {
  CheckDocumentPath(i.target);
  if (!i.source.empty()) {
    bool parentRef = false;
    for (const auto& part : fs::path(i.source)) parentRef = parentRef || part == "..";
    if (i.source.front() != '/' || parentRef || !IsStoreTemporary(NameOf(i.source))) {
      Raise(err::InvalidFileName, kSource, "Invalid temporary '" + i.source + "' in a document intent");
    }
  } else if (i.operation == kOpRename) {
    Raise(err::InvalidFileName, kSource, "A rename intent without a temporary for '" + i.target + "'");
  }
}

void LogQuietly(const std::string& text) noexcept {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(kSource, text, 0);
  } catch (...) {
  }
}

std::string DescribeCurrent() {
  ErrorInfo e = CurrentError();
  return e.description + "(" + std::to_string(e.number) + ")";
}

std::string Normalize(const std::string& path) {
  // Nearly every path comes normal already (the engine builds them):
  // absolute, no empty, "." or ".." component and no separator at the end.
  const bool normal = path.size() > 1 && path.front() == '/' && path.back() != '/' &&
                      path.find("//") == std::string::npos &&
                      path.find("/./") == std::string::npos && path.find("/../") == std::string::npos &&
                      !path.ends_with("/.") && !path.ends_with("/..");
  return normal ? path : fs::path(path).lexically_normal().string();
}

// A checked, normalised path naming a file (not a folder).
std::string CheckedFilePath(const std::string& path) {
  CheckDocumentPath(path);
  std::string n = Normalize(path);
  if (NameOf(n).empty() || n == "/") {
    Raise(err::InvalidFileName, kSource, "Invalid document path '" + path + "': it names a folder, not a file");
  }
  return n;
}

// --- the staged changes of one transaction -----------------------------------

class Batch : public Enlistment {
 public:
  Batch()
      : id_(StoreOwnerOf(DocumentsRoot()) + "." + RandomHex() + RandomHex()),
        root_(DocumentsRoot()),
        lock_(StoreLock::Shared(root_)) {}

  // Whether this transaction has staged a change to `path`.
  bool Touched(const std::string& path) const { return Find(path) != nullptr; }

  bool Exists(const std::string& path) const {
    if (const Entry* e = Find(path)) return e->present;
    return IsRegularFile(path);
  }

  std::optional<FileIdentity> StagedIdentity(const std::string& path) const {
    const Entry* e = Find(path);
    struct stat st {};
    if (!e || !e->present || ::stat(e->file.c_str(), &st) != 0) return std::nullopt;
    return IdentityOf(st);
  }

  std::string Load(const std::string& path) const {
    if (const Entry* e = Find(path)) {
      if (!e->present) Raise(err::FileNotFound, kSource, "File not found: '" + path + "' is deleted in this transaction");
      return ReadWholeFile(e->file);
    }
    return ReadWholeFile(path);
  }

  void Save(const std::string& path, const std::string& contents) {
    Usable();
    bool nameDurable = false;
    std::string temp = WriteTemp(path, contents, &nameDurable);
    SetPresent(path, temp, nameDurable);
    if (CrashAt("after-temp-write")) Crash("after-temp-write");
  }

  void Copy(const std::string& source, const std::string& target) {
    Usable();
    std::string contents = Load(source);
    if (source == target) return;
    Save(target, contents);
  }

  void Move(const std::string& source, const std::string& target) {
    Usable();
    if (!Exists(source)) Raise(err::FileNotFound, kSource, "File not found: '" + source + "'");
    if (source == target) return;
    // Both halves are prepared before either is staged: a move that fails
    // leaves the transaction's view as it was.
    Absence gone = PrepareAbsence(source);
    try {
      Entry* e = Find(source);
      if (e && e->present && ParentOf(e->file) == ParentOf(target)) {
        // The staged content moves on as it is: its temporary already lies
        // next to the new name. (In another folder, which may be on another
        // file system, the content is staged anew next to the target.)
        std::string temp = std::exchange(e->file, std::string());
        const bool nameDurable = e->nameDurable;
        e->present = false;
        SetPresent(target, temp, nameDurable);
      } else {
        Save(target, Load(source));
      }
    } catch (...) {
      Discard(gone);
      throw;
    }
    MarkAbsent(source, std::move(gone));
  }

  void Delete(const std::string& path) {
    Usable();
    if (!Exists(path)) Raise(err::FileNotFound, kSource, "File not found: '" + path + "'");
    if (const Entry* e = Find(path); e && !e->present && (!e->file.empty() || e->unconditional)) return;
    MarkAbsent(path, PrepareAbsence(path));
  }

  void Prepare(ObjectContext& context) override {
    Usable();
    plan_ = Plan();
    if (plan_.empty()) return;
    // The temporaries' and victims' names must be durable before the
    // intents that name them commit; a spare's name already is.
    std::set<std::string> folders;
    for (const auto& i : plan_)
      if (!i.source.empty() && !NameDurable(i)) folders.insert(ParentOf(i.source));
    for (const auto& f : folders) FsyncDirectory(f);

    const std::string uri = CurrentSettings().HelvixUri();
    if (uri.empty()) {
      Raise(err::DbConnectionFailed, kSource, "Document changes need the service database: no connection is configured");
    }
    auto session = db::ContextSession(context, uri);
    const db::Dialect& d = session->dialect();
    const std::string sql = "INSERT INTO DOCUMENTINTENTS (BATCH, SEQ, OPERATION, SOURCE, TARGET) VALUES (" +
                            d.Placeholder(1) + ", " + d.Placeholder(2) + ", " + d.Placeholder(3) + ", " +
                            d.Placeholder(4) + ", " + d.Placeholder(5) + ")";
    int32_t seq = 0;
    for (const auto& i : plan_) {
      session->Execute(sql, {db::Value(id_), db::Value(++seq), db::Value(i.operation),
                             i.source.empty() ? db::Value(nullptr) : db::Value(i.source), db::Value(i.target)});
    }
    // The intents of finished batches leave with this commit; should it
    // roll back, they wait for the next.
    removing_ = TakeFinishedBatches();
    if (!removing_.empty()) DeleteIntentsOf(*session, removing_);
    if (CrashAt("after-prepare")) Crash("after-prepare");
    std::vector<std::string> paths;
    for (const auto& i : plan_) paths.push_back(i.target);
    claim_.Take(std::move(paths));
  }

  void Committed() noexcept override {
    if (abandoned_) return;
    if (plan_.empty()) return;
    // Each change stands alone (one path each), so a failing one does not
    // hold the others back; its intent stays for recovery to finish.
    bool complete = true;
    auto failed = [&](const std::string& what) {
      complete = false;
      LogQuietly("A document change of a committed transaction could not be applied (" + what +
                 "): " + DescribeCurrent() + ". It is finished when the document store is recovered.");
    };
    if (CrashAt("after-db-commit")) return Abandon();
    std::set<std::string> folders;
    bool unconditional = false;
    int n = 0;
    for (const auto& i : plan_) {
      unconditional = unconditional || (i.operation == kOpDelete && i.source.empty());
      try {
        ApplyIntent(i);
        folders.insert(ParentOf(i.target));
        if (!i.source.empty()) folders.insert(ParentOf(i.source));
      } catch (...) {
        failed(i.operation + " " + i.target);
      }
      if (CrashAt("after-rename-" + std::to_string(++n))) return Abandon();
    }
    for (const auto& f : folders) {
      // The same sync makes the next spare's name durable.
      std::string spare = CreateSpare(f);
      try {
        FsyncDirectory(f);
        if (!spare.empty()) KeepSpare(f, std::move(spare));
      } catch (...) {
        if (!spare.empty()) SysUnlink(spare.c_str());
        failed("sync " + f);
      }
    }
    if (CrashAt("after-apply")) return Abandon();
    claim_.Release();
    if (!complete) return;
    // An unconditional deletion read back later would delete a newer file
    // at its path: its intents go at once.
    if (unconditional) ClearIntents(id_);
    else ReturnFinishedBatches({id_});
  }

  void RolledBack() noexcept override {
    if (!removing_.empty()) ReturnFinishedBatches(std::exchange(removing_, {}));
    claim_.Release();
    if (abandoned_) return;
    for (const auto& [path, e] : entries_) {
      if (!e.file.empty()) SysUnlink(e.file.c_str());
    }
    entries_.clear();
  }

  // The commit may have been made: then the intents name the staged files,
  // which must stay for whoever finishes them (the next transaction that
  // reads one of the documents, or recovery). Had it not been made, they
  // are orphans that recovery removes.
  void InDoubt() noexcept override {
    if (!removing_.empty()) ReturnFinishedBatches(std::exchange(removing_, {}));
    LogQuietly("The commit of transaction " + id_ +
               " may or may not have been made: its staged documents are kept for recovery to finish or remove.");
    Abandon();
  }

  static void DeleteIntentsOf(db::Session& session, const std::vector<std::string>& batches) {
    std::string sql = "DELETE FROM DOCUMENTINTENTS WHERE BATCH IN (";
    std::vector<db::Value> args;
    for (const auto& b : batches) {
      if (!args.empty()) sql += ", ";
      args.emplace_back(b);
      sql += session.dialect().Placeholder(static_cast<int>(args.size()));
    }
    session.Execute(sql + ")", args);
  }

  // Removes the intents of a batch whose changes are in place.
  static void ClearIntents(const std::string& batch) noexcept {
    try {
      auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
      session->Execute("DELETE FROM DOCUMENTINTENTS WHERE BATCH = " + session->dialect().Placeholder(1),
                       {db::Value(batch)});
    } catch (...) {
      LogQuietly("The finished document intents of transaction " + batch + " could not be removed: " +
                 DescribeCurrent() + ". Recovery removes them.");
    }
  }

 private:
  // The staged state of one path: present with the file holding its content
  // (a temporary), or absent, with the victim link to the file on disk that
  // the deletion removes ("" when nothing on disk is to be deleted).
  struct Entry {
    bool present = false;
    std::string file;
    bool unconditional = false;  // absent, but no victim link could be made
    bool nameDurable = false;    // `file` is a spare: a folder sync already covered its name
  };

  const Entry* Find(const std::string& path) const {
    auto it = index_.find(path);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  Entry* Find(const std::string& path) {
    auto it = index_.find(path);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  Entry& Slot(const std::string& path) {
    auto it = index_.find(path);
    if (it != index_.end()) return entries_[it->second].second;
    index_.emplace(path, entries_.size());
    entries_.emplace_back(path, Entry{});
    return entries_.back().second;
  }

  static void Release(Entry& e) {
    if (!e.file.empty()) SysUnlink(e.file.c_str());
    e.file.clear();
    e.unconditional = false;
    e.nameDurable = false;
  }

  void SetPresent(const std::string& path, const std::string& temp, bool nameDurable) {
    Entry& e = Slot(path);
    Release(e);
    e.present = true;
    e.file = temp;
    e.nameDurable = nameDurable;
  }

  bool NameDurable(const Intent& i) const {
    const Entry* e = Find(i.target);
    return i.operation == kOpRename && e && e->present && e->file == i.source && e->nameDurable;
  }

  // What the deletion of a path removes at commit: the victim link to the
  // file on disk ("" when there is none), or an unconditional deletion.
  struct Absence {
    std::string victim;
    bool unconditional = false;
  };

  // Links the file on disk to a victim name. Raises (changing nothing) when
  // the folder refuses it.
  static Absence PrepareAbsence(const std::string& path) {
    Absence a;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return a;  // nothing on disk to delete
    for (int attempt = 0; attempt < 8; ++attempt) {
      std::string victim = NewTempName(path);
      if (SysLink(path.c_str(), victim.c_str()) == 0) {
        a.victim = victim;
        return a;
      }
      if (errno == EEXIST) continue;  // the name is taken: another one
      if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK || errno == EXDEV) {
        a.unconditional = true;  // a file system without hard links
        return a;
      }
      RaiseFileError(errno, "Cannot prepare the deletion of", path);
    }
    RaiseFileError(EEXIST, "Cannot prepare the deletion of", path);
  }

  static void Discard(const Absence& a) {
    if (!a.victim.empty()) SysUnlink(a.victim.c_str());
  }

  void MarkAbsent(const std::string& path, Absence a) {
    Entry& e = Slot(path);
    Release(e);
    e.present = false;
    e.file = std::move(a.victim);
    e.unconditional = a.unconditional;
  }

  // The changes to publish: renames first (a moved document appears before
  // its old name vanishes), then deletions.
  std::vector<Intent> Plan() const {
    std::vector<Intent> renames, deletes;
    for (const auto& [path, e] : entries_) {
      if (e.present) {
        renames.push_back({kOpRename, e.file, path});
      } else if (!e.file.empty() || e.unconditional) {
        deletes.push_back({kOpDelete, e.file, path});
      }
    }
    renames.insert(renames.end(), deletes.begin(), deletes.end());
    return renames;
  }

  void Usable() const {
    if (abandoned_) Raise(err::InternalError, kSource, "The document changes of this transaction were abandoned");
  }

  void Abandon() noexcept {
    abandoned_ = true;
    claim_.Release();
  }

  [[noreturn]] void Crash(const std::string& step) {
    Abandon();
    RaiseSimulatedCrash(step);
  }

  std::string id_;
  std::string root_;
  StoreLock lock_;
  std::vector<std::pair<std::string, Entry>> entries_;  // in order of first change
  std::map<std::string, size_t> index_;
  std::vector<Intent> plan_;
  std::vector<std::string> removing_;  // finished batches whose intents this commit deletes
  ApplyClaim claim_;
  bool abandoned_ = false;
};

// The paths a transaction already brought up to date with the commits
// before it (FinishCommittedChangesTo).
struct FinishedPaths : Enlistment {
  std::set<std::string> paths;
};
constexpr const char* kFinishedKey = "Korventa.DocumentStore.Finished";

// The current context's batch, created and enlisted on first need.
std::shared_ptr<Batch> CurrentBatch(bool create) {
  ObjectContext* context = GetObjectContext();
  if (!context) return nullptr;
  if (!create) return std::dynamic_pointer_cast<Batch>(context->Enlisted(kEnlistKey));
  return context->EnlistedOrNew<Batch>(kEnlistKey);
}

// Another process on the same data folder (a second server, a command run
// beside the service) may have committed changes to these documents and
// not yet put them in place, or died before it could. The rows this
// transaction reads already show those commits, so the files must too
// before they are read or replaced; and a change left pending under an
// older intent must not be redone later over this transaction's newer one.
// The caller holds the tree's lock (or, on SQLite, the write lock), so no
// such commit can follow unseen. Each step can be redone, so finishing it
// here beside its own process is safe.
//
// A read-only transaction reads one snapshot, and a writing one on SQLite
// holds the only write lock from its start: once a path was brought up to
// date in either, nothing new can show up for it later in the same
// transaction.
void FinishCommittedChangesTo(std::initializer_list<std::string> paths) {
  ObjectContext* context = GetObjectContext();
  if (!context) return;
  const std::string uri = CurrentSettings().HelvixUri();
  if (uri.empty()) return;
  auto session = db::ContextSession(*context, uri);
  const db::Dialect& d = session->dialect();
  const bool remembered = context->ReadOnly() || d.Kind() == db::DialectKind::SQLite;
  auto finished = remembered ? context->EnlistedOrNew<FinishedPaths>(kFinishedKey) : nullptr;
  std::vector<std::string> asked;
  for (const auto& p : paths) {
    if (!finished || !finished->paths.count(p)) asked.push_back(p);
  }
  if (asked.empty()) return;
  std::string sql = "SELECT OPERATION, SOURCE, TARGET, BATCH FROM DOCUMENTINTENTS WHERE TARGET IN (";
  std::vector<db::Value> args;
  for (const auto& p : asked) {
    if (!args.empty()) sql += ", ";
    args.emplace_back(p);
    sql += d.Placeholder(static_cast<int>(args.size()));
  }
  sql += ") ORDER BY INTENTID";
  db::ResultSet rows = session->Query(sql, args);
  std::optional<std::string> owner;
  std::set<std::string> folders;
  bool durable = false;
  for (const auto& row : rows.rows) {
    Intent i{row[0].ToText(), row[1].IsNull() ? std::string() : row[1].ToText(), row[2].ToText()};
    CheckIntent(i);
    // Mostly the finished intents of this process, which wait to be
    // deleted with its next commit.
    if (!Pending(i)) continue;
    // Another documents folder's staged files are not here, whatever the
    // path says: its owner finishes them.
    if (!owner) owner = StoreOwnerOf(DocumentsRoot());
    if (!OwnedBy(row[3].ToText(), *owner)) continue;
    // The commit that wrote the intent may not be durable yet: a file put
    // in place for it must not outlive it.
    if (!durable) session->MakeCommitsDurable();
    durable = true;
    if (ApplyIntent(i) == ApplyResult::Done) folders.insert(ParentOf(i.target));
  }
  for (const auto& f : folders) FsyncDirectory(f);
  if (finished) finished->paths.insert(asked.begin(), asked.end());
}

// --- immediate changes (outside any transaction) ----------------------------

void WriteNow(const std::string& path, const std::string& contents) {
  auto lock = StoreLock::Shared(DocumentsRoot());
  std::string temp = WriteTemp(path, contents);
  if (CrashAt("after-temp-write")) RaiseSimulatedCrash("after-temp-write");
  try {
    RenameOver(temp, path);
  } catch (...) {
    SysUnlink(temp.c_str());
    throw;
  }
  FsyncDirectory(ParentOf(path));
}

void MoveNow(const std::string& source, const std::string& target) {
  if (!IsRegularFile(source)) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) RaiseFileError(errno, "Cannot move", source);
    Raise(err::FileNotFound, kSource, "File not found: '" + source + "' is not a file");
  }
  if (source == target) return;
  EnsureDirectory(ParentOf(target));
  if (SysRename(source.c_str(), target.c_str()) != 0) {
    if (errno != EXDEV) RaiseFileError(errno, "Cannot move to", target);
    // Copied across file systems: the copy is not written when the original
    // cannot be removed afterwards.
    if (::access(ParentOf(source).c_str(), W_OK | X_OK) != 0) RaiseFileError(errno, "Cannot delete", source);
    WriteNow(target, ReadWholeFile(source));
    if (SysUnlink(source.c_str()) != 0) RaiseFileError(errno, "Cannot delete", source);
  }
  FsyncDirectory(ParentOf(target));
  if (ParentOf(source) != ParentOf(target)) FsyncDirectory(ParentOf(source));
}

void DeleteNow(const std::string& path) {
  if (IsDirectory(path)) Raise(err::FileNotFound, kSource, "File not found: '" + path + "' is a folder");
  if (SysUnlink(path.c_str()) != 0) RaiseFileError(errno, "Cannot delete", path);
  FsyncDirectory(ParentOf(path));
}

}  // namespace

// --- owners, immediate file access -----------------------------------------------

std::string StoreOwnerOf(const std::string& root) {
  const std::string path = (fs::path(root) / kStoreOwnerFile).string();
  auto read = [&]() -> std::string {
    Fd fd(SysOpen(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT) return {};
      RaiseFileError(errno, "Cannot open", path);
    }
    char buf[64];
    ssize_t n = SysRead(fd.get(), buf, sizeof buf);
    if (n < 0) RaiseFileError(errno, "Cannot read", path);
    std::string text(buf, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!IsOwnerText(text)) {
      Raise(kFileAccessError, kSource, "Path/File access error: '" + path + "' does not hold an owner identifier");
    }
    return text;
  };
  if (std::string owner = read(); !owner.empty()) return owner;
  // Written aside and linked into place, so that of two processes creating
  // it at once both read the one that won.
  EnsureDirectory(root);
  const std::string aside = path + ".new-" + RandomHex();
  {
    const std::string text = RandomHex() + RandomHex() + "\n";
    Fd fd(SysOpen(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid()) RaiseFileError(errno, "Cannot create", aside);
    if (SysWrite(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) || SysSync(fd.get()) != 0) {
      int code = errno;
      SysUnlink(aside.c_str());
      RaiseFileError(code, "Cannot write", aside);
    }
  }
  int linked = SysLink(aside.c_str(), path.c_str());
  int code = errno;
  SysUnlink(aside.c_str());
  if (linked != 0 && code != EEXIST) RaiseFileError(code, "Cannot create", path);
  FsyncDirectory(root);
  return read();
}

bool DocumentsInDatabase() {
  const Settings& s = CurrentSettings();
  if (s.documentStore == "database") return true;
  if (s.documentStore == "files") return false;
  const std::string uri = s.HelvixUri();
  return uri.rfind("postgresql://", 0) == 0 || uri.rfind("postgres://", 0) == 0;
}

std::string DocumentsRootFolder() { return Normalize(DocumentsRoot()); }

void WriteDocumentFileNow(const std::string& path, const std::string& contents) {
  WriteNow(CheckedFilePath(path), contents);
}

void DeleteDocumentFileNow(const std::string& path) {
  std::string p = CheckedFilePath(path);
  if (!EntryExists(p)) return;
  DeleteNow(p);
}

std::string ReadDocumentFileNow(const std::string& path) { return ReadWholeFile(CheckedFilePath(path)); }

// --- checks --------------------------------------------------------------------

bool IsStoreTemporary(std::string_view name) {
  size_t at = name.rfind(kStoreTempMarker);
  if (at == std::string_view::npos) return false;
  std::string_view tail = name.substr(at + kStoreTempMarker.size());
  if (tail.size() != 16) return false;
  for (char c : tail)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool IsStoreSpare(std::string_view name) {
  return IsStoreTemporary(name) && name.size() == kStoreSpareName.size() + kStoreTempMarker.size() + 16 &&
         name.substr(0, kStoreSpareName.size()) == kStoreSpareName;
}

void RemoveFinishedIntents() {
  std::vector<std::string> batches = TakeFinishedBatches();
  if (batches.empty()) return;
  try {
    auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
    Batch::DeleteIntentsOf(*session, batches);
  } catch (...) {
    ReturnFinishedBatches(batches);
    throw;
  }
}

void CheckDocumentPath(const std::string& path) {
  auto refuse = [&](const std::string& why) {
    Raise(err::InvalidFileName, kSource, "Invalid document path '" + path + "': " + why);
  };
  if (path.empty()) refuse("the path is empty");
  if (path.find('\0') != std::string::npos) refuse("the path holds a NUL character");
  if (path.front() != '/') refuse("the path must be absolute");
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (std::string_view(path).substr(start, end - start) == "..") refuse("the path must not contain '..'");
    start = end + 1;
  }
  if (path.find(kStoreTempMarker) != std::string::npos) refuse("the path names a temporary file of the store");
}

// --- the built-in store ------------------------------------------------------

bool FileDocumentStore::Exists(const std::string& path) {
  CheckDocumentPath(path);
  std::string p = Normalize(path);
  if (NameOf(p).empty()) return false;  // a folder
  AwaitCommitsBeingApplied({p});
  auto batch = CurrentBatch(false);
  if (!batch || !batch->Touched(p)) FinishCommittedChangesTo({p});
  if (batch) return batch->Exists(p);
  return IsRegularFile(p);
}

std::string FileDocumentStore::Load(const std::string& path) {
  std::string p = CheckedFilePath(path);
  AwaitCommitsBeingApplied({p});
  auto batch = CurrentBatch(false);
  if (!batch || !batch->Touched(p)) FinishCommittedChangesTo({p});
  if (batch) return batch->Load(p);
  return ReadWholeFile(p);
}

std::string FileDocumentStore::LoadIdentified(const std::string& path, std::optional<FileIdentity>& identity) {
  std::string p = CheckedFilePath(path);
  AwaitCommitsBeingApplied({p});
  auto batch = CurrentBatch(false);
  identity.reset();
  if (batch && batch->Touched(p)) return batch->Load(p);
  FinishCommittedChangesTo({p});
  FileIdentity read;
  std::string contents = ReadWholeFile(p, &read);
  identity = read;
  return contents;
}

std::optional<FileIdentity> FileDocumentStore::CurrentIdentity(const std::string& path) {
  std::string p = CheckedFilePath(path);
  AwaitCommitsBeingApplied({p});
  auto batch = CurrentBatch(false);
  if (batch && batch->Touched(p)) return std::nullopt;
  FinishCommittedChangesTo({p});
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return IdentityOf(st);
}

std::optional<FileIdentity> FileDocumentStore::StagedIdentity(const std::string& path) {
  std::string p = CheckedFilePath(path);
  auto batch = CurrentBatch(false);
  if (!batch) return std::nullopt;
  return batch->StagedIdentity(p);
}

void FileDocumentStore::Save(const std::string& path, const std::string& contents) {
  std::string p = CheckedFilePath(path);
  if (auto batch = CurrentBatch(true)) {
    if (!batch->Touched(p)) FinishCommittedChangesTo({p});
    return batch->Save(p, contents);
  }
  WriteNow(p, contents);
}

void FileDocumentStore::Copy(const std::string& source, const std::string& target) {
  std::string s = CheckedFilePath(source);
  std::string t = CheckedFilePath(target);
  AwaitCommitsBeingApplied({s, t});
  if (auto batch = CurrentBatch(true)) {
    FinishCommittedChangesTo({s, t});
    return batch->Copy(s, t);
  }
  std::string contents = ReadWholeFile(s);
  if (s == t) return;
  WriteNow(t, contents);
}

void FileDocumentStore::Move(const std::string& source, const std::string& target) {
  std::string s = CheckedFilePath(source);
  std::string t = CheckedFilePath(target);
  AwaitCommitsBeingApplied({s, t});
  if (auto batch = CurrentBatch(true)) {
    FinishCommittedChangesTo({s, t});
    return batch->Move(s, t);
  }
  auto lock = StoreLock::Shared(DocumentsRoot());
  MoveNow(s, t);
}

void FileDocumentStore::Delete(const std::string& path) {
  std::string p = CheckedFilePath(path);
  AwaitCommitsBeingApplied({p});
  if (auto batch = CurrentBatch(true)) {
    if (!batch->Touched(p)) FinishCommittedChangesTo({p});
    return batch->Delete(p);
  }
  DeleteNow(p);
}

namespace {
std::shared_ptr<IDocumentStore> BuiltInStore() {
  if (DocumentsInDatabase()) return std::make_shared<DatabaseDocumentStore>();
  return std::make_shared<FileDocumentStore>();
}
}  // namespace

std::shared_ptr<IDocumentStore> DocumentStore() {
  if (Registry::Instance().IsRegistered(progid::DocumentStore)) {
    return CreateInContext<IDocumentStore>(progid::DocumentStore);
  }
  return BuiltInStore();
}

void RegisterDocumentStoreComponent() { Registry::Instance().Register(progid::DocumentStore, BuiltInStore); }

CrashHook SetCrashHookForTest(CrashHook hook) {
  std::lock_guard lock(g_hookMutex);
  return std::exchange(g_crashHook, std::move(hook));
}

// --- recovery --------------------------------------------------------------------

StoreRecovery RecoverDocumentStore(const std::string& documentsRoot) {
  StoreRecovery report;
  const std::string uri = CurrentSettings().HelvixUri();
  if (uri.empty()) return report;
  const std::string root = documentsRoot.empty() ? DocumentsRoot() : documentsRoot;

  // Nobody stages changes while this is held, so every temporary that no
  // intent names is an orphan. Without it only the intents are finished
  // (which is safe beside running transactions).
  StoreLock exclusive = StoreLock::TryExclusive(root);
  report.orphanScanSkipped = !exclusive.Held();

  const std::string owner = StoreOwnerOf(root);
  auto session = db::SessionPool::Instance().Acquire(uri);
  db::ResultSet rows =
      session->Query("SELECT BATCH, OPERATION, SOURCE, TARGET FROM DOCUMENTINTENTS ORDER BY INTENTID");
  // A process that ended between its commit and the commit's sync left the
  // commit readable but maybe not yet durable.
  if (!rows.rows.empty()) session->MakeCommitsDurable();
  std::set<std::string> foreign;           // batches of other documents folders

  std::vector<std::string> finished;        // batches done
  std::set<std::string> kept;               // temporaries of intents that failed
  std::map<std::string, bool> batchOk;      // batch -> all of its intents done
  std::vector<std::string> batchOrder;
  for (const auto& row : rows.rows) {
    Intent i;
    std::string batch = row[0].ToText();
    i.operation = row[1].ToText();
    i.source = row[2].IsNull() ? std::string() : row[2].ToText();
    i.target = row[3].ToText();
    if (!OwnedBy(batch, owner)) {
      // Its staged files are in another folder (perhaps at the same path on
      // another machine): only its owner can tell what is done. Its
      // temporaries' names are kept all the same.
      if (!i.source.empty()) kept.insert(i.source);
      foreign.insert(batch);
      continue;
    }
    if (!batchOk.count(batch)) {
      batchOk[batch] = true;
      batchOrder.push_back(batch);
    }
    try {
      CheckIntent(i);
      if (ApplyIntent(i) == ApplyResult::Done) {
        if (i.operation == kOpRename) ++report.renamed;
        else ++report.deleted;
        LogQuietly("Recovery finished a committed document change of transaction " + batch + ": " + i.operation +
                   " " + i.target + ".");
      }
      FsyncDirectory(ParentOf(i.target));
    } catch (...) {
      ++report.failures;
      batchOk[batch] = false;
      if (!i.source.empty()) kept.insert(i.source);
      LogQuietly("A document intent of transaction " + batch + " (" + i.operation + " " + i.target +
                 ") could not be finished: " + DescribeCurrent());
    }
  }

  if (exclusive.Held()) {
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
    std::vector<std::string> orphans;
    for (; !ec && it != end; it.increment(ec)) {
      const auto& entry = *it;
      std::string name = entry.path().filename().string();
      if (!IsStoreTemporary(name)) continue;
      std::error_code typeEc;
      if (entry.symlink_status(typeEc).type() == fs::file_type::directory) continue;
      if (kept.count(entry.path().string())) continue;
      orphans.push_back(entry.path().string());
    }
    std::set<std::string> folders;
    for (const auto& o : orphans) {
      if (SysUnlink(o.c_str()) == 0) {
        const bool spare = IsStoreSpare(NameOf(o));
        ++(spare ? report.sparesRemoved : report.orphansRemoved);
        if (!spare) LogQuietly("Recovery removed a temporary document file that no intent names: " + o + ".");
        folders.insert(ParentOf(o));
      }
    }
    for (const auto& f : folders) {
      try {
        FsyncDirectory(f);
      } catch (...) {
      }
    }
  }
  // Leave the lock before writing to the database: a transaction that holds
  // the database may be waiting for the lock.
  exclusive.Release();

  for (const auto& batch : batchOrder) {
    if (!batchOk[batch]) continue;
    session->Execute("DELETE FROM DOCUMENTINTENTS WHERE BATCH = " + session->dialect().Placeholder(1),
                     {db::Value(batch)});
    ++report.batchesCleared;
    LogQuietly("Recovery removed the finished intents of transaction " + batch + ".");
  }
  report.foreignBatches = static_cast<int>(foreign.size());
  if (!foreign.empty()) {
    LogQuietly("Recovery left the intents of " + std::to_string(foreign.size()) +
               " transactions of other documents folders to their owners (this folder is " + owner + ").");
  }
  if (report.renamed + report.deleted + report.orphansRemoved + report.failures > 0) {
    LogQuietly("Document store recovered: " + std::to_string(report.renamed) + " staged files put in place, " +
               std::to_string(report.deleted) + " documents deleted, " + std::to_string(report.orphansRemoved) +
               " orphaned temporaries removed, " + std::to_string(report.failures) + " intents left for later.");
  }
  return report;
}

}  // namespace tsa
