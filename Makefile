# The two commands a newcomer needs:
#   make run   builds the engine and the web app, prepares the data folder and
#              starts the service, which prints the app's address
#   make test  builds and runs the whole suite: the engine's tests normally and
#              under sanitizers, the web app's unit tests, and its journeys in
#              headless Chromium against a real service (SQLite and PostgreSQL)
# Other targets: make web (the app alone, into web/dist), make bench.
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

test: test-normal test-asan test-web

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

bench: build
	./$(BUILD_DIR)/bench/tsauthor_bench

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
	rm -rf $(BUILD_DIR) $(ASAN_DIR) web/dist
