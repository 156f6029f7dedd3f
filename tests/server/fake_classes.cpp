#include "fake_classes.h"

#include "runtime/components.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"

namespace tsa::test {

void WaitGate::Enter() {
  std::unique_lock lock(mutex_);
  ++entered_;
  cv_.notify_all();
  cv_.wait(lock, [&] { return released_; });
  ++finished_;
}

void WaitGate::WaitForEntered(int count) {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return entered_ >= count; });
}

void WaitGate::Release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  cv_.notify_all();
}

int WaitGate::Finished() {
  std::lock_guard lock(mutex_);
  return finished_;
}

namespace {

using nlohmann::json;

ParamSpec In(std::string name, ArgType type, bool optional = false) { return {std::move(name), type, false, optional}; }
ParamSpec InOut(std::string name, ArgType type) { return {std::move(name), type, true, false}; }

class Fake : public Component {
 public:
  explicit Fake(const DispatchTable* table) : table_(table) {}
  const DispatchTable* Dispatch() const override { return table_; }

 private:
  const DispatchTable* table_;
};

DispatchTable TsdomTable(WaitGate* gate) {
  DispatchTable t;
  t.Add({"Add", {In("i_lA", ArgType::Long), In("i_lB", ArgType::Long)}, ArgType::Long, false,
         [](Component&, DispatchArgs& a) { return json(a[0].get<int64_t>() + a[1].get<int64_t>()); },
         "Adds two numbers."});
  t.Add({"Echo", {In("i_sText", ArgType::String), In("i_bFlag", ArgType::Bool, true)}, ArgType::Dict, false,
         [](Component&, DispatchArgs& a) { return json{{"text", a[0]}, {"flag", a[1]}}; }, "Answers its arguments."});
  t.Add({"Rename", {In("i_lID", ArgType::Long), InOut("io_sName", ArgType::String), InOut("io_lCount", ArgType::Long)},
         ArgType::String, false,
         [](Component&, DispatchArgs& a) {
           a[1] = "renamed " + a[1].get<std::string>();
           a[2] = a[2].get<int32_t>() + a[0].get<int32_t>();
           return json("renamed");
         },
         "Renames | counts."});
  t.Add({"Fail", {In("i_lNumber", ArgType::Long)}, ArgType::Variant, true,
         [](Component&, DispatchArgs& a) -> json {
           Trapped("HXSvcTroubleshooting.TSDOM.Fail", [&] { Raise(a[0].get<int32_t>(), {}, "fake failure"); });
           return nullptr;
         },
         "Fails."});
  t.Add({"RejectUser", {In("i_sUserId", ArgType::String)}, ArgType::Variant, true,
         [](Component&, DispatchArgs&) -> json { RaiseInvalidArgument("i_sUserId", "not known here"); },
         "Refuses every user."});
  t.Add({"Nothing", {}, ArgType::Variant, true, [](Component&, DispatchArgs&) { return json(); }, ""});
  t.Add({"Wait", {}, ArgType::String, false,
         [gate](Component&, DispatchArgs&) {
           gate->Enter();
           return json("finished");
         },
         "Waits for the test."});
  t.Add({"Attach", {In("i_oNode", ArgType::Object)}, ArgType::Variant, true,
         [](Component&, DispatchArgs&) { return json(); }, "Takes an object."});
  return t;
}

DispatchTable TreeTable() {
  DispatchTable t;
  t.Add({"CheckOut",
         {In("i_lTreeType", ArgType::Long), In("i_lID", ArgType::Long), In("i_sUserId", ArgType::String),
          InOut("o_sOwner", ArgType::String)},
         ArgType::Variant, true,
         [](Component&, DispatchArgs& a) {
           a[3] = a[2];
           return json();
         },
         "Checks a tree out."});
  t.Add({"Publish", {In("i_lTreeType", ArgType::Long), In("i_lID", ArgType::Long)}, ArgType::Variant, true,
         [](Component&, DispatchArgs&) { return json(); }, "Publishes."});
  t.Add({"load", {In("i_lTreeType", ArgType::Long), In("i_lID", ArgType::Long), In("i_sUserId", ArgType::String)},
         ArgType::Variant, true, [](Component&, DispatchArgs&) { return json(); }, "Loads."});
  t.Add({"getNode", {In("i_lNodeID", ArgType::Long)}, ArgType::Object, false,
         [](Component&, DispatchArgs&) { return json(); }, "A node."});
  return t;
}

DispatchTable NodeTable() {
  DispatchTable t;
  t.Add({"save", {}, ArgType::Variant, true, [](Component&, DispatchArgs&) { return json("saved"); }, "Saves."});
  return t;
}

}  // namespace

FakeClasses::FakeClasses()
    : tsdomTable_(TsdomTable(&gate_)),
      tsdom_(progid::TSDOM, [this] { return std::make_shared<Fake>(&tsdomTable_); }),
      tree_(progid::Tree,
            [] {
              static const DispatchTable table = TreeTable();
              return std::make_shared<Fake>(&table);
            }),
      node_(progid::Node, [] {
        static const DispatchTable table = NodeTable();
        return std::make_shared<Fake>(&table);
      }) {}

}  // namespace tsa::test
