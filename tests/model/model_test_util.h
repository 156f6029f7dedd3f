// Helpers shared by the model tests: catching an engine error, and a
// file-handling service that records what it is asked before doing it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "components/file_handling.h"
#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/registry.h"

namespace tsa::test {

// The error `body` raises; a test failure when it raises none.
template <class Body>
ErrorInfo Caught(Body&& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.info();
  }
  ADD_FAILURE() << "no error was raised";
  return {};
}

// Puts a recording file-handling service in place for its lifetime. Each
// call is recorded as "Operation(file name or identifier, category)" and
// then handed to the real service.
class RecordingFileHandling {
 public:
  RecordingFileHandling()
      : calls_(std::make_shared<CallLog>()),
        registration_(progid::FileHandling, [calls = calls_] { return std::make_shared<Recorder>(calls); }) {}

  std::vector<std::string> Calls() const {
    std::lock_guard lock(calls_->mutex);
    return calls_->list;
  }
  void Clear() {
    std::lock_guard lock(calls_->mutex);
    calls_->list.clear();
  }

 private:
  struct CallLog {
    std::mutex mutex;
    std::vector<std::string> list;
    void Add(std::string call) {
      std::lock_guard lock(mutex);
      list.push_back(std::move(call));
    }
  };

  class Recorder : public IFileHandling {
   public:
    explicit Recorder(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    FileNameDict GetFileNames(int32_t id, const std::vector<int32_t>& categories) override {
      std::string list;
      for (int32_t c : categories) list += (list.empty() ? "" : ",") + std::to_string(c);
      calls_->Add("GetFileNames(" + std::to_string(id) + "," + list + ")");
      return real_.GetFileNames(id, categories);
    }
    void DeleteFiles(int32_t id, const std::vector<int32_t>& categories) override {
      calls_->Add("DeleteFiles(" + std::to_string(id) + ")");
      real_.DeleteFiles(id, categories);
    }
    void RemoveFile(const std::string& fileName, int32_t id, int32_t category, int32_t treeType) override {
      calls_->Add("RemoveFile(" + fileName + "," + std::to_string(category) + ")");
      real_.RemoveFile(fileName, id, category, treeType);
    }
    bool FetchFile(const std::string& sharedLocation, const std::string& fileName, const std::string& localPath,
                   int32_t category, std::optional<int32_t> id, int32_t treeType) override {
      calls_->Add("FetchFile(" + fileName + "," + std::to_string(category) + ")");
      return real_.FetchFile(sharedLocation, fileName, localPath, category, id, treeType);
    }
    void AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) override {
      std::string name = fullPath.substr(fullPath.rfind('/') + 1);
      calls_->Add("AddFile(" + name + "," + std::to_string(category) + ")");
      real_.AddFile(fullPath, id, category, treeType);
    }

   private:
    std::shared_ptr<CallLog> calls_;
    FileHandling real_;
  };

  std::shared_ptr<CallLog> calls_;
  ScopedRegistration registration_;
};

}  // namespace tsa::test
