# Build targets. On a fresh Debian 12 machine (as root) these first install
# what is missing; `make demo` and `make test` are the two commands to know.
#
#   make build   native core, fakes and tests; dist/x64 and dist/x86 quorva.exe;
#                the seam's contract suite cross-built for Wine (x64 and x86)
#   make test    build, then every test through ctest (unit, contract native and
#                under Wine, budget, end to end); ends with ctest's summary
#   make demo    build, then run the agent in a simulated Windows machine
#   make release both executables, an MSI per architecture and SHA256SUMS in
#                dist/release; signed when QUORVA_SIGN_PFX and
#                QUORVA_SIGN_PASSWORD are set (docs/ADMINISTRATION.md)
#   make clean   remove build/ and dist/

SHELL := /bin/bash
JOBS ?= 2
BUILD := build
DIST := dist
ROOT := $(CURDIR)

PACKAGES := g++ cmake make googletest libgtest-dev libgmock-dev libbenchmark-dev \
            g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 \
            g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
            wine wine64 xvfb xauth clang libclang-rt-dev python3 \
            wixl msitools osslsigncode openssl debootstrap git

# Release for the native tests: the same optimiser the product sees.
NATIVE_FLAGS := -DCMAKE_BUILD_TYPE=Release
CROSS_FLAGS := -DCMAKE_BUILD_TYPE=MinSizeRel -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD)

.PHONY: all deps build native sanitize x64 x86 x64-tests x86-tests test demo release clean test-debian13

all: build

# Installs what is missing (cmake/deps.sh says how): one apt-get update when
# anything is, none when everything is there. The 64-bit packages must
# install; 32-bit Wine may fail, and the x86 machines' tests are then skipped.
WINE32_FAILED := $(BUILD)/deps-wine32-failed
APT_GET ?= apt-get
deps:
	@PACKAGES="$(PACKAGES)" WINE32_FAILED=$(WINE32_FAILED) APT_GET=$(APT_GET) bash cmake/deps.sh

build: deps
	$(MAKE) --no-print-directory native sanitize x64 x86 x64-tests x86-tests

native:
	cmake -S . -B $(BUILD)/native $(NATIVE_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST) \
	    -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

# The unit tests with AddressSanitizer and UndefinedBehaviorSanitizer; the
# native build's ctest runs them as unit_tests_sanitized.
sanitize:
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVA_SANITIZE=ON \
	    -DQUORVA_DIST_DIR=$(ROOT)/$(DIST) -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) >/dev/null
	cmake --build $(BUILD)/sanitize -j$(JOBS)

x64:
	cmake -S . -B $(BUILD)/x64 -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x64-win32.cmake \
	    $(CROSS_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST)/x64 >/dev/null
	cmake --build $(BUILD)/x64 -j$(JOBS)

x86:
	cmake -S . -B $(BUILD)/x86 -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86-win32.cmake \
	    $(CROSS_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST)/x86 >/dev/null
	cmake --build $(BUILD)/x86 -j$(JOBS)

# GoogleTest needs std::mutex: the posix thread model compilers. The x86
# suite runs on the 32-bit machine (a WINEARCH=win32 prefix).
x64-tests:
	cmake -S . -B $(BUILD)/x64-tests -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x64-posix.cmake \
	    $(CROSS_FLAGS) -DQUORVA_CONTRACT_TESTS=ON >/dev/null
	cmake --build $(BUILD)/x64-tests -j$(JOBS)

x86-tests:
	cmake -S . -B $(BUILD)/x86-tests -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86-posix.cmake \
	    $(CROSS_FLAGS) -DQUORVA_CONTRACT_TESTS=ON >/dev/null
	cmake --build $(BUILD)/x86-tests -j$(JOBS)

# The three simulated machines' end-to-end tests overlap (each has its own
# prefix and wineserver; ctest keeps one machine's scenarios in order). Where
# 32-bit programs cannot run, the x86 machines' tests are skipped; the reason
# is in their output and printed once more at the end.
# A failed test is run once more (TEST_TRIES): Wine on two busy cores now and
# then loses a process start of its own (a recorder that never runs), which
# says nothing of the agent. The end names the tests that passed only when run
# again (their first output is in build/native/Testing/Temporary/LastTest.log)
# apart from those that failed every try, which fail make test.
TEST_JOBS ?= 3
TEST_TRIES ?= 2
test: build
	@cd $(BUILD)/native && rm -f Testing/Temporary/LastTestsFailed.log && \
	  ctest --output-on-failure -j$(TEST_JOBS) --repeat until-pass:$(TEST_TRIES); \
	  status=$$?; \
	  failed_once=$$(awk '/^Test Failed\./ { getline; sub(/ end time:.*/, ""); gsub(/"/, ""); print }' \
	    Testing/Temporary/LastTest.log | sort -u); \
	  failed_last=$$(sed 's/^[0-9]*://' Testing/Temporary/LastTestsFailed.log 2>/dev/null | sort -u); \
	  again=$$(comm -23 <(echo "$$failed_once") <(echo "$$failed_last") | grep . | tr '\n' ' '); \
	  twice=$$(echo "$$failed_last" | grep . | tr '\n' ' '); \
	  if [ -n "$$again" ]; then echo "failed once, passed when run again: $$again"; fi; \
	  if [ -n "$$twice" ] && [ $$status -ne 0 ]; then echo "failed every try: $$twice"; fi; \
	  reason=$$(python3 $(ROOT)/tests/e2e/machines.py x86-reason) || \
	    echo "x86 machines' tests SKIPPED: $$reason"; \
	  exit $$status

# make demo ARCH=x86: the same session with the 32-bit agent on a 32-bit machine.
demo: build
	ARCH=$(or $(ARCH),x64) QUORVA_DIST_DIR=$(ROOT)/$(DIST) QUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) \
	    sh tests/e2e/demo.sh

# The README's make demo and make test, as written, in a fresh Debian 13 root
# made with debootstrap (tests/fresh/debian.sh says what is mounted and cached),
# then its make release against this machine's: the same package tables.
test-debian13: release
	QUORVA_COMPARE_RELEASE=$(ROOT)/$(DIST)/release bash tests/fresh/debian.sh trixie

# The packaging tools (wixl, msitools, osslsigncode, openssl) are among the packages
# that deps installs, so make test checks the packages and signatures too.
release: deps
	$(MAKE) --no-print-directory x64 x86
	python3 installer/release.py --dist $(DIST) --out $(DIST)/release

clean:
	rm -rf $(BUILD) $(DIST)

# ---- fuzzing and benchmarks of the restart check (not part of make test) ----
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
BENCH_BUILD := build/bench

.PHONY: fuzz bench
fuzz: deps
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j2
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/make_seed_corpus $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/record_walker_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 \
	    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ \
	    $(FUZZ_BUILD)/corpus

bench: deps
	cmake -S tests/bench -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j2
	$(BENCH_BUILD)/restart_check_bench
	$(BENCH_BUILD)/terminal_storm_bench

# ---- the explorer of whole session lifetimes (not part of make test, which
# runs a fixed batch of 5,000) ----
# make explore EXPLORE_RUNS=N [EXPLORE_FIRST=SEED]: N machines (about two
# lifetimes each) under ASan and UBSan; prints lifetimes per second, how often
# each Windows rule fired and each fault was injected, how many lifetimes each
# exception excused, the violations, and "explored N machines (L lifetimes): V
# violations". One seed again, told step by step: build/sanitize/explorer --replay SEED
EXPLORE_RUNS ?= 500000
EXPLORE_FIRST ?= 1
.PHONY: explore
explore: deps
	$(MAKE) --no-print-directory sanitize
	nice $(BUILD)/sanitize/explorer --runs $(EXPLORE_RUNS) --first $(EXPLORE_FIRST) --jobs $(JOBS) --min-fires 100
