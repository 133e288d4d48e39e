# The two commands of the README: `make run` and `make test`. Both install missing Debian
# packages first when run as root.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS) --timeout 300
FUZZ_SECONDS ?= 20
HARBOLT_ARGS ?=

.PHONY: all deps build run test check-sanitize check-tsan fuzz relay-bench bench format clean

all: build

deps:
	@sh tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/src/app/harbolt $(HARBOLT_ARGS)

test: build
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

check-sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBOLT_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir build-asan $(CTEST_ARGS)

check-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBOLT_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan $(CTEST_ARGS)

fuzz:
	@sh tools/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHARBOLT_FUZZ=ON -DHARBOLT_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	sh tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

relay-bench: build
	$(BUILD)/tools/relay_bench

# The proxy tunnel against a direct connection and a socat chain: one stream and 1000 connections
# held open (tools/bench/proxy_bench.sh; a few minutes at most).
bench: build
	bash tools/bench/proxy_bench.sh $(BUILD)/src/app/harbolt $(BUILD)/tools/bench/tunnel_load

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
