// Errors as values: a number, a source and a description, raised as C++
// exceptions and reported layer by layer with one "METHOD:" line per layer.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tsa {

// The library's default source for a raise that names none.
inline constexpr std::string_view kDefaultSource = "HXSvcTroubleShooting";
// The generic description for a raise that gives none.
inline constexpr std::string_view kGenericDescription = "Application-defined or object-defined error";

// Error numbers. The library's own are 1002..1100; platform failures keep
// stable classic numbers so callers can tell them apart.
namespace err {
// Library errors.
inline constexpr int32_t TreeLoadFailed = 1002;
inline constexpr int32_t NotCheckedOut = 1003;
inline constexpr int32_t CannotDeleteRoot = 1004;
inline constexpr int32_t ChildTypeNotAllowed = 1005;
inline constexpr int32_t NodeNotFound = 1006;
inline constexpr int32_t CheckedOutByOther = 1011;
inline constexpr int32_t RepEntityNotFound = 1012;
inline constexpr int32_t RepEntityInUse = 1013;
inline constexpr int32_t PropagationFailed = 1014;
inline constexpr int32_t SourceXmlNotLoadable = 1100;
// Argument validation at the public entry points (this engine's own range).
inline constexpr int32_t InvalidArgument = 1200;
inline constexpr int32_t InvalidVisibilityList = 1201;
inline constexpr int32_t InvalidFileName = 1202;
inline constexpr int32_t NothingToPublish = 1203;
inline constexpr int32_t TreeAlreadyExists = 1204;
// Sibling components.
inline constexpr int32_t ProductNotFound = 1210;        // the catalog does not know the product
inline constexpr int32_t TemplateInfoNotFound = 1211;   // a template without its TEMPLATEINFO row
inline constexpr int32_t InvalidCatalogFile = 1212;     // a catalog file that cannot be loaded
// Database failures, HRESULT style.
inline constexpr int32_t DbStatementFailed = -2147217900;
inline constexpr int32_t DbConstraintViolation = -2147217873;
inline constexpr int32_t DbConnectionFailed = -2147467259;
inline constexpr int32_t DbRowNotFound = -2147217864;  // optimistic update lost its row
// The connection went while a commit was under way: it may have been made.
inline constexpr int32_t CommitInDoubt = 1800;
// Runtime failures, classic numbers.
inline constexpr int32_t InvalidProcedureCall = 5;
inline constexpr int32_t Overflow = 6;
inline constexpr int32_t OutOfMemory = 7;
inline constexpr int32_t SubscriptOutOfRange = 9;
inline constexpr int32_t TypeMismatch = 13;
inline constexpr int32_t InternalError = 51;
inline constexpr int32_t FileNotFound = 53;
inline constexpr int32_t FileAlreadyExists = 58;
inline constexpr int32_t PermissionDenied = 70;
inline constexpr int32_t PathNotFound = 76;
inline constexpr int32_t ObjectNotSet = 91;
inline constexpr int32_t InvalidUseOfNull = 94;
inline constexpr int32_t CannotCreateObject = 429;
inline constexpr int32_t MethodNotSupported = 438;
}  // namespace err

struct ErrorInfo {
  int32_t number = 0;
  std::string source;
  std::string description;
  std::string helpFile;
  int32_t helpContext = 0;
};

// The exception that carries an error. `what()` is the description.
class Error : public std::exception {
 public:
  explicit Error(ErrorInfo info) : info_(std::move(info)) {}
  const ErrorInfo& info() const noexcept { return info_; }
  int32_t number() const noexcept { return info_.number; }
  const std::string& source() const noexcept { return info_.source; }
  const std::string& description() const noexcept { return info_.description; }
  const char* what() const noexcept override { return info_.description.c_str(); }

 private:
  ErrorInfo info_;
};

// Raises an error. An empty source becomes the default source unless
// `keepEmptySource` is set (1011 and 1100 are raised with an empty source);
// an empty description becomes the generic text.
[[noreturn]] void Raise(int32_t number, std::string_view source = {}, std::string_view description = {},
                        bool keepEmptySource = false);

// Raises an error raised with an explicitly empty source (1011, 1100).
[[noreturn]] void RaiseWithEmptySource(int32_t number, std::string_view description);

// Argument validation: error `number` (InvalidArgument unless given) naming
// the argument and what is wrong with it.
[[noreturn]] void RaiseInvalidArgument(std::string_view argument, std::string_view problem,
                                       int32_t number = err::InvalidArgument);

// The error held by an exception: library errors as they are, anything else
// mapped to a stable number with a clear description.
ErrorInfo ErrorFromException(std::exception_ptr e);

// The error being handled on this thread: the caught exception of the
// innermost active handler, or number 0 outside any handler.
ErrorInfo CurrentError();

// The composed description: CR LF "METHOD: " label " caught: " D "(" N ")."
std::string ComposeDescription(std::string_view label, const ErrorInfo& e,
                               const std::optional<std::string>& info = std::nullopt);

// Log entries that could not be written since the process started. A log
// write that fails never changes the outcome of what it reports: it is
// counted here, the first one is reported on stderr, and the caller gets the
// error that really happened.
uint64_t FailedLogWrites();

// Logs the current error under `label`, with optional additional information.
void LogError(std::string_view label, const std::optional<std::string>& info = std::nullopt);

// Inside a handler: logs and raises the current error again with the label's
// "METHOD:" line in front. Outside one: logs (with the information, if any)
// and returns.
void ReportError(std::string_view label, const std::optional<std::string>& info = std::nullopt);

// The handler shape every trapped procedure shares: runs `body`; on any
// failure runs `cleanup` (which must not clear the error) and reports the
// error under `label`.
template <class Body>
auto Trapped(std::string_view label, Body&& body, const std::function<void()>& cleanup = {})
    -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    if (cleanup) cleanup();
    ReportError(label);
    throw;  // unreachable: ReportError raises inside a handler
  }
}

}  // namespace tsa
