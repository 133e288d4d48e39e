# The two commands of the README: `make run` and `make test`. Both install missing Debian
# packages first when run as root.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
# End-to-end tests that run at once beside the others (tools/run-tests.sh): they mostly wait.
E2E_JOBS   ?= 6
CTEST_ARGS ?= --output-on-failure --timeout 300
RUN_TESTS   = TEST_JOBS=$(JOBS) E2E_JOBS=$(E2E_JOBS) sh tools/run-tests.sh
FUZZ_SECONDS ?= 20
# 1: `make fuzz` merges the inputs that found new coverage into tests/fuzz/corpus (long campaigns
# by hand, e.g. `make fuzz FUZZ_SECONDS=600 FUZZ_MERGE=1`); CI leaves the corpora alone.
FUZZ_MERGE ?= 0
HARBOLT_ARGS ?=

.PHONY: all deps build run test package check-sanitize check-tsan fuzz relay-bench bench bench-deps \
	format clean

all: build

deps:
	@sh tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

# Says how long the build took.
build: deps $(BUILD)/build.ninja
	@started=$$(date +%s); cmake --build $(BUILD) -j $(JOBS) || exit; \
	echo "harbolt: the build of $(BUILD) took $$(($$(date +%s) - started)) s"

run: build
	$(BUILD)/src/app/harbolt $(HARBOLT_ARGS)

test: build
	$(RUN_TESTS) $(BUILD) $(CTEST_ARGS)

# The Debian package of the build, in $(BUILD) (installs to /usr whatever the build's prefix).
package: build
	cmake --build $(BUILD) --target package
	@ls -1 $(BUILD)/harbolt_*.deb

# The sanitizer builds are compiled with -O1 (faster tests at little cost in the build) and keep
# their assertions. The ThreadSanitizer build has no windows: Qt is not instrumented, so their
# tests run under AddressSanitizer only. The packaging test, the manual check and the test that
# kills an instance 200 times run in the plain suite alone.
# HARBOLT_E2E_QUICK=1: the other end-to-end tests that repeat something many times do it a few
# times only, since the instances run several times slower.
SANITIZE_CMAKE = -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"
PLAIN_ONLY     = -LE 'package|docs' -E '^e2e\.crash$$'

# One clang build serves the AddressSanitizer + UBSan suite and the libFuzzer targets: its
# libraries carry the fuzzers' coverage hooks, which the sanitizer runtime answers in the other
# programs.
build-asan/build.ninja:
	@sh tools/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B build-asan $(SANITIZE_CMAKE) \
		-DHARBOLT_SANITIZE=address,undefined -DHARBOLT_FUZZ=ON

check-sanitize: build-asan/build.ninja
	@started=$$(date +%s); cmake --build build-asan -j $(JOBS) || exit; \
	echo "harbolt: the build of build-asan took $$(($$(date +%s) - started)) s"
	HARBOLT_E2E_QUICK=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1 $(RUN_TESTS) build-asan $(CTEST_ARGS) $(PLAIN_ONLY)

build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan $(SANITIZE_CMAKE) -DHARBOLT_SANITIZE=thread -DHARBOLT_WINDOWS=OFF

check-tsan: build-tsan/build.ninja
	@started=$$(date +%s); cmake --build build-tsan -j $(JOBS) || exit; \
	echo "harbolt: the build of build-tsan took $$(($$(date +%s) - started)) s"
	HARBOLT_E2E_QUICK=1 TSAN_OPTIONS=halt_on_error=1 \
		$(RUN_TESTS) build-tsan $(CTEST_ARGS) $(PLAIN_ONLY)

# The fuzz targets of the clang build, each for FUZZ_SECONDS, one a core at a time.
fuzz: build-asan/build.ninja
	cmake --build build-asan -j $(JOBS) --target fuzzers
	FUZZ_MERGE=$(FUZZ_MERGE) FUZZ_JOBS=$(JOBS) sh tools/run-fuzzers.sh build-asan $(FUZZ_SECONDS)

relay-bench: deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DHARBOLT_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target relay_bench
	$(BUILD)/tools/relay_bench

# The benchmark (tools/bench/proxy_bench.sh, under 5 minutes on 2 cores, as root for its network
# namespaces): iperf3 through the tunnel against kernel routing and chains of two HAProxy and two
# socat relays; 10,000 tunnelled connections held at once; HTTP requests and downloads against
# tinyproxy and microsocks; an idle instance; then 100 instances on one segment
# (tools/bench/lan_bench.sh). Only the two programs it runs are built.
# The LAN run comes also after a failed proxy run; the status is the first failure's.
bench: bench-deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DHARBOLT_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target harbolt tunnel_load
	@status=0; \
	bash tools/bench/proxy_bench.sh $(BUILD)/src/app/harbolt $(BUILD)/tools/bench/tunnel_load || \
		status=$$?; \
	if [ -f tools/bench/lan_bench.sh ]; then \
		bash tools/bench/lan_bench.sh $(BUILD)/src/app/harbolt || \
			{ lan=$$?; [ "$$status" -ne 0 ] || status=$$lan; }; \
	else \
		echo "[bench] SKIP: 100 instances on one segment: tools/bench/lan_bench.sh is missing"; \
	fi; \
	exit $$status

# The benchmark's own Debian packages, installed when missing (as root). The benchmark starts
# nginx, tinyproxy, microsocks, haproxy and iperf3 itself: while they install, a policy-rc.d that
# refuses every start keeps their system services (haproxy's) from starting and staying behind;
# tinyproxy-bin is the program without a system service; python3 drives lan_bench.sh.
BENCH_PACKAGES = nginx tinyproxy-bin microsocks apache2-utils curl iperf3 haproxy socat jq \
	iproute2 procps python3
bench-deps:
	@missing=""; \
	for p in $(BENCH_PACKAGES); do \
		dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q "install ok installed" || \
			missing="$$missing $$p"; \
	done; \
	[ -z "$$missing" ] && exit 0; \
	if [ "$$(id -u)" -ne 0 ]; then \
		echo "harbolt: the benchmark needs the Debian packages$$missing" >&2; \
		echo "harbolt: run as root, or install them with: sudo apt-get install$$missing" >&2; \
		exit 1; \
	fi; \
	echo "harbolt: installing$$missing"; \
	export DEBIAN_FRONTEND=noninteractive; \
	policy=/usr/sbin/policy-rc.d; made=0; \
	if [ ! -e "$$policy" ]; then \
		printf '#!/bin/sh\n# The benchmark installs its packages: no service starts.\nexit 101\n' \
			>"$$policy" && chmod 755 "$$policy" && made=1; \
	fi; \
	trap 'if [ "$$made" = 1 ]; then rm -f "$$policy"; fi' EXIT; \
	trap 'exit 130' INT TERM; \
	apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan
