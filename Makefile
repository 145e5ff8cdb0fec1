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
            wine wine64 xvfb xauth clang libclang-rt-14-dev python3 \
            wixl osslsigncode openssl

# Release for the native tests: the same optimiser the product sees.
NATIVE_FLAGS := -DCMAKE_BUILD_TYPE=Release
CROSS_FLAGS := -DCMAKE_BUILD_TYPE=MinSizeRel -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD)

.PHONY: all deps build native sanitize x64 x86 x64-tests x86-tests test demo release clean

all: build

# Installs only what dpkg does not already know as installed, so a second run
# is quick and needs no network. One apt-get update; an index it could not
# fetch (a mirror in mid-sync) is reported but only the installs decide. The
# 64-bit packages must install. 32-bit Wine comes last and may fail (no i386
# packages on the mirror, versions that do not match yet): that is said
# plainly, remembered in $(WINE32_FAILED) so the next run does not try again,
# and the x86 machines' tests are then reported skipped, not failed.
WINE32_PACKAGE := wine32:i386
WINE32_FAILED := $(BUILD)/deps-wine32-failed
APT_GET ?= apt-get
deps:
	@installed() { dpkg-query -W -f='$${Status}\n' "$$1" 2>/dev/null | grep -q '^install ok installed$$'; }; \
	missing=$$(for p in $(PACKAGES); do installed $$p || echo $$p; done); \
	want32=; \
	if [ "$$(dpkg --print-architecture)" = amd64 ] && ! installed $(WINE32_PACKAGE) && \
	   [ ! -e $(WINE32_FAILED) ]; then want32=yes; fi; \
	if [ -z "$$missing" ] && [ -z "$$want32" ]; then exit 0; fi; \
	if [ "$$(id -u)" != 0 ]; then \
	  if [ -n "$$missing" ]; then echo "missing packages:" $$missing "- run as root to install them" >&2; exit 1; fi; \
	  echo "32-bit Wine ($(WINE32_PACKAGE)) is not installed; run 'make deps' as root to install it." \
	       "Until then the x86 machines' tests are skipped."; \
	  exit 0; \
	fi; \
	export DEBIAN_FRONTEND=noninteractive; \
	if [ -n "$$want32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then \
	  echo "adding the i386 architecture (for 32-bit Wine)"; dpkg --add-architecture i386; \
	fi; \
	$(APT_GET) update || echo "apt-get update reported errors (exit $$?): some package index could not be" \
	    "fetched, perhaps a mirror in mid-sync; going on with the indexes it has"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(APT_GET) install -y --no-install-recommends $$missing || exit 1; \
	fi; \
	if [ -n "$$want32" ]; then \
	  echo "installing 32-bit Wine: $(WINE32_PACKAGE)"; \
	  if $(APT_GET) install -y --no-install-recommends $(WINE32_PACKAGE); then :; else \
	    mkdir -p $(dir $(WINE32_FAILED)); date > $(WINE32_FAILED); \
	    echo; \
	    echo "*** 32-bit Wine ($(WINE32_PACKAGE)) could not be installed (see apt-get's messages above)."; \
	    echo "*** Everything else is installed; the x86 machines' tests will be reported SKIPPED."; \
	    echo "*** Remove $(WINE32_FAILED) to try again with the next make."; \
	    echo; \
	  fi; \
	fi

build: deps
	$(MAKE) --no-print-directory native sanitize x64 x86 x64-tests x86-tests

native:
	cmake -S . -B $(BUILD)/native $(NATIVE_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST) \
	    -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

sanitize:
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVA_SANITIZE=ON -DQUORVA_DIST_DIR=$(ROOT)/$(DIST) -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) >/dev/null
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
# says nothing of the agent. A test that passed only the second time is named
# at the end, with its first output in build/native/Testing/Temporary/LastTest.log;
# one that fails twice fails make test.
TEST_JOBS ?= 3
TEST_TRIES ?= 2
test: build
	@cd $(BUILD)/native && ctest --output-on-failure -j$(TEST_JOBS) --repeat until-pass:$(TEST_TRIES); \
	  status=$$?; \
	  again=$$(awk '/^Test Failed\./ { getline; sub(/ end time:.*/, ""); gsub(/"/, ""); print }' \
	    Testing/Temporary/LastTest.log | sort -u | tr '\n' ' '); \
	  if [ -n "$$again" ]; then echo "failed once, run again: $$again"; fi; \
	  reason=$$(python3 $(ROOT)/tests/e2e/machines.py x86-reason) || \
	    echo "x86 machines' tests SKIPPED: $$reason"; \
	  exit $$status

# make demo ARCH=x86: the same session with the 32-bit agent on a 32-bit machine.
demo: build
	ARCH=$(or $(ARCH),x64) QUORVA_DIST_DIR=$(ROOT)/$(DIST) QUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) \
	    sh tests/e2e/demo.sh

# The packaging tools (wixl, osslsigncode, openssl) are among the packages
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
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j2
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/make_seed_corpus $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/record_walker_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 \
	    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ \
	    $(FUZZ_BUILD)/corpus

bench: deps
	cmake -S bench -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j2
	$(BENCH_BUILD)/restart_check_bench
	$(BENCH_BUILD)/terminal_storm_bench

# ---- the explorer of whole session lifetimes (not part of make test, which
# runs a fixed batch of 5,000) ----
# make explore EXPLORE_RUNS=N [EXPLORE_FIRST=SEED]: N lifetimes under ASan and
# UBSan; prints lifetimes per second, how often each Windows rule fired and
# each fault was injected, the violations, and "explored N lifetimes: V violations".
# One seed again, told step by step: build/sanitize/explorer --replay SEED
EXPLORE_RUNS ?= 1000000
EXPLORE_FIRST ?= 1
.PHONY: explore
explore: deps
	$(MAKE) --no-print-directory sanitize
	nice $(BUILD)/sanitize/explorer --runs $(EXPLORE_RUNS) --first $(EXPLORE_FIRST) --jobs $(JOBS) --min-fires 100
