#include "runtime/error.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>
#include <typeinfo>

#include "runtime/components.h"
#include "runtime/context.h"

namespace tsa {

void Raise(int32_t number, std::string_view source, std::string_view description, bool keepEmptySource) {
  ErrorInfo e;
  e.number = number;
  e.source = (source.empty() && !keepEmptySource) ? std::string(kDefaultSource) : std::string(source);
  e.description = description.empty() ? std::string(kGenericDescription) : std::string(description);
  throw Error(std::move(e));
}

void RaiseWithEmptySource(int32_t number, std::string_view description) {
  Raise(number, {}, description, true);
}

void RaiseInvalidArgument(std::string_view argument, std::string_view problem, int32_t number) {
  Raise(number, {}, "Invalid argument " + std::string(argument) + ": " + std::string(problem));
}

namespace {

ErrorInfo Make(int32_t number, std::string description) {
  ErrorInfo e;
  e.number = number;
  e.source = std::string(kDefaultSource);
  e.description = std::move(description);
  return e;
}

int32_t NumberForErrno(int code) {
  switch (code) {
    case ENOENT:
      return err::FileNotFound;
    case EEXIST:
      return err::FileAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return err::PermissionDenied;
    case ENOTDIR:
      return err::PathNotFound;
    default:
      return err::InternalError;
  }
}

}  // namespace

ErrorInfo ErrorFromException(std::exception_ptr ep) {
  if (!ep) return {};
  try {
    std::rethrow_exception(ep);
  } catch (const Error& e) {
    return e.info();
  } catch (const std::filesystem::filesystem_error& e) {
    return Make(NumberForErrno(e.code().value()), e.what());
  } catch (const std::system_error& e) {
    return Make(NumberForErrno(e.code().value()), e.what());
  } catch (const std::bad_alloc&) {
    return Make(err::OutOfMemory, "Out of memory");
  } catch (const std::out_of_range& e) {
    return Make(err::SubscriptOutOfRange, std::string("Subscript out of range: ") + e.what());
  } catch (const std::overflow_error& e) {
    return Make(err::Overflow, std::string("Overflow: ") + e.what());
  } catch (const std::bad_cast& e) {
    return Make(err::TypeMismatch, std::string("Type mismatch: ") + e.what());
  } catch (const std::invalid_argument& e) {
    return Make(err::InvalidProcedureCall, std::string("Invalid procedure call or argument: ") + e.what());
  } catch (const std::exception& e) {
    return Make(err::InternalError, std::string("Internal error: ") + e.what());
  } catch (...) {
    return Make(err::InternalError, "Internal error: an unknown failure");
  }
}

ErrorInfo CurrentError() { return ErrorFromException(std::current_exception()); }

std::string ComposeDescription(std::string_view label, const ErrorInfo& e, const std::optional<std::string>& info) {
  std::string c = "\r\nMETHOD: ";
  c += label;
  c += " caught: ";
  c += e.description;
  c += "(" + std::to_string(e.number) + ").";
  if (info) c += " Additional information: " + *info;
  return c;
}

namespace {

std::atomic<uint64_t> g_failedLogWrites{0};

void WriteLog(std::string_view label, const ErrorInfo& e, const std::optional<std::string>& info) {
  std::string text(label);
  text += " caught: " + e.description + "(" + std::to_string(e.number) + ").";
  if (info) text += " Additional information: " + *info;
  try {
    auto log = CreateInContext<ILog>(progid::Log);
    log->WriteEntry(e.source, text, 0);
  } catch (...) {
    // A full disk or a read-only log folder must not turn the error being
    // reported into a log error.
    if (g_failedLogWrites.fetch_add(1) == 0) {
      ErrorInfo why = CurrentError();
      std::fprintf(stderr, "tsauthor: cannot write the log (further failures are only counted): %s (%d)\n",
                   why.description.c_str(), static_cast<int>(why.number));
    }
  }
}

}  // namespace

uint64_t FailedLogWrites() { return g_failedLogWrites.load(); }

void LogError(std::string_view label, const std::optional<std::string>& info) {
  WriteLog(label, CurrentError(), info);
}

void ReportError(std::string_view label, const std::optional<std::string>& info) {
  std::exception_ptr pending = std::current_exception();
  if (!pending) {
    // No error pending: a log entry holding only the information, if any.
    std::optional<std::string> c;
    if (info) c = " Additional information: " + *info;
    WriteLog(label, ErrorInfo{}, c ? c : std::optional<std::string>(std::string()));
    return;
  }
  ErrorInfo e = ErrorFromException(pending);
  std::string composed = ComposeDescription(label, e, info);
  WriteLog(label, e, composed);
  ErrorInfo raised = e;
  raised.description = std::move(composed);
  throw Error(std::move(raised));
}

}  // namespace tsa
