# The two commands a newcomer needs:
#   make run   builds the engine and the web app, prepares the data folder and
#              starts the service, which prints the app's address
#   make test  builds and runs the whole suite: the engine's tests normally and
#              under sanitizers, the web app's unit tests, and its journeys in
#              headless Chromium against a real service (SQLite and PostgreSQL)
# Other targets: make web (the app alone, into web/dist), make bench, and the
# long forms of three suites: make sweep, make soak, make fuzz.
.PHONY: all bootstrap build build-asan web run test test-normal test-asan test-web bench clean

JOBS ?= $(shell nproc)
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
CTEST_ARGS ?=

all: build

bootstrap:
	@bash scripts/bootstrap

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_DIR)/CMakeCache.txt:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTSA_SANITIZE=ON -DTSA_BUILD_BENCH=OFF

build: bootstrap $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: bootstrap $(ASAN_DIR)/CMakeCache.txt
	cmake --build $(ASAN_DIR) -j $(JOBS)

# npm ci only when the installed packages are missing or older than the lockfile.
web/node_modules/.package-lock.json: web/package-lock.json | bootstrap
	cd web && npm ci --no-audit --no-fund
	@touch $@

web: web/node_modules/.package-lock.json
	npm --prefix web run build

run: build web
	./$(BUILD_DIR)/tsauthor init
	./$(BUILD_DIR)/tsauthor catalog load examples/catalog.json
	./$(BUILD_DIR)/tsauthor serve

test: test-normal test-asan test-web test-fuzz

test-normal: build
	bash scripts/with-test-postgres ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  bash scripts/with-test-postgres ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The web app's unit tests, then its journeys against the engine of the
# normal build (not the sanitizer build: the browser's pace would time out).
test-web: build web
	npm --prefix web test -- --passWithNoTests
	TSAUTHOR_BIN=$(abspath $(BUILD_DIR))/tsauthor bash scripts/with-test-postgres npm --prefix web run e2e

# Every faultable call of every authoring operation failing in turn, and the
# process killed at each, on both databases (tests/faults; long).
.PHONY: sweep
sweep: build
	TSAUTHOR_SWEEP=full TSAUTHOR_TEST_BACKEND=sqlite ./$(BUILD_DIR)/tests/test_faults
	TSAUTHOR_SWEEP=full TSAUTHOR_TEST_BACKEND=postgresql bash scripts/with-test-postgres ./$(BUILD_DIR)/tests/test_faults

bench: build
	./$(BUILD_DIR)/bench/tsauthor_bench

# Fuzzing (fuzz/): a clang build of just what the targets need. test-fuzz
# runs each target over its seed corpus and then FUZZ_CI_SECONDS on new
# inputs; `make fuzz` runs each FUZZ_SECONDS (by default they share an
# hour), keeping the corpus it grows in $(FUZZ_DIR)/fuzz-corpus.
.PHONY: build-fuzz test-fuzz fuzz
FUZZ_DIR ?= build-fuzz
FUZZ_CI_SECONDS ?= 10
FUZZ_SECONDS ?=

$(FUZZ_DIR)/CMakeCache.txt:
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only" -DTSA_BUILD_FUZZ=ON -DTSA_BUILD_TESTS=OFF -DTSA_BUILD_BENCH=OFF

build-fuzz: bootstrap $(FUZZ_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_DIR) --target fuzz_targets -j $(JOBS)

test-fuzz: build-fuzz
	bash scripts/fuzz $(FUZZ_DIR) $(FUZZ_CI_SECONDS)

fuzz: build-fuzz
	bash scripts/fuzz $(FUZZ_DIR) $(FUZZ_SECONDS)

# The long randomized run of the facade on both databases (normal build):
# SOAK_OPS steps for each seed of SOAK_SEEDS; a failure prints the command
# that replays it.
.PHONY: soak
SOAK_OPS ?= 10000
SOAK_SEEDS ?= 1,2,3
soak: bootstrap $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target test_authoring
	TSAUTHOR_TEST_BACKEND=sqlite TSAUTHOR_SOAK_OPS=$(SOAK_OPS) TSAUTHOR_SOAK_SEEDS=$(SOAK_SEEDS) \
	  ./$(BUILD_DIR)/tests/test_authoring --gtest_filter='TSDOMSoak.*'
	TSAUTHOR_TEST_BACKEND=postgresql TSAUTHOR_SOAK_OPS=$(SOAK_OPS) TSAUTHOR_SOAK_SEEDS=$(SOAK_SEEDS) \
	  bash scripts/with-test-postgres ./$(BUILD_DIR)/tests/test_authoring --gtest_filter='TSDOMSoak.*'

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) web/dist
