# The two commands a newcomer needs:
#   make run   builds the engine, prepares the data folder and starts the service
#   make test  builds and runs the whole suite, normally and under sanitizers
.PHONY: all bootstrap build build-asan run test test-normal test-asan bench clean

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

run: build
	./$(BUILD_DIR)/tsauthor init
	./$(BUILD_DIR)/tsauthor catalog load examples/catalog.json
	./$(BUILD_DIR)/tsauthor serve

test: test-normal test-asan

test-normal: build
	bash scripts/with-test-postgres ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  bash scripts/with-test-postgres ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

bench: build
	./$(BUILD_DIR)/bench/tsauthor_bench

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
