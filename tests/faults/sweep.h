// The authoring operations the fault sweeps drive, each on a fresh
// environment built the same way every time, and what a sweep checks after
// a faulted run: the state stored (rows and documents) is either exactly as
// before the operation or exactly as an unfaulted run leaves it.
//
// The default run sweeps a slice of every operation's calls (a stride, its
// offset chosen by a seed that is printed); TSAUTHOR_SWEEP=full sweeps
// every call, and TSAUTHOR_SWEEP_SEED replays a slice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/test_env.h"
#include "versions/versions.h"

namespace tsa::test::sweep {

// Product 7 checked out by alice with a category, two questions and an
// answer; product 8 published with a category and a question; a published
// template with a question.
struct Scenario {
  explicit Scenario(bool documentFiles);

  TestEnv env;
  TSDOMPtr dom;
  Versions versions;
  int32_t category = 0, question = 0, answer = 0, question2 = 0;
  int32_t templateId = 0, otherCategory = 0;
};

struct Operation {
  std::string name;
  // Brings the scenario to the state the operation starts from.
  std::function<void(Scenario&)> prepare;
  std::function<void(Scenario&)> run;
};

const std::vector<Operation>& Operations();

// Everything stored: rows of the engine's tables (versions included) and
// the documents, with times blanked so that two runs compare equal.
Stored State(const TestEnv& env);

// The trees of the scenario are consistent as alice and bob see them.
void ExpectConsistent(const std::string& where);

// Whether every call is swept (TSAUTHOR_SWEEP=full).
bool Full();
// The calls from 1 to `n` this run sweeps: all in a full sweep, else every
// `stride`-th from an offset derived from the seed and the operation (at
// least one).
std::vector<uint64_t> Points(uint64_t n, const std::string& operation, uint64_t stride);

// The stores a backend sweeps: files on SQLite; on PostgreSQL the database
// store, and in a full sweep the files as well.
std::vector<bool> DocumentFileModes();

}  // namespace tsa::test::sweep
