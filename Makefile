# Build targets. On a fresh Debian 12 machine (as root) these first install
# what is missing; `make demo` and `make test` are the two commands to know.
#
#   make build   native core, fakes and tests; dist/x64 and dist/x86 quorva.exe;
#                the seam's contract suite cross-built for Wine
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
            wine wine64 xvfb xauth clang libclang-rt-14-dev python3

# Release for the native tests: the same optimiser the product sees.
NATIVE_FLAGS := -DCMAKE_BUILD_TYPE=Release
CROSS_FLAGS := -DCMAKE_BUILD_TYPE=MinSizeRel -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD)

.PHONY: all deps build native x64 x86 x64-tests test demo release clean

all: build

# Installs only what dpkg does not already know as installed, so a second run
# is quick and needs no network.
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install packages" >&2; exit 1; fi; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update && apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	$(MAKE) --no-print-directory native x64 x86 x64-tests

native:
	cmake -S . -B $(BUILD)/native $(NATIVE_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST) \
	    -DQUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

x64:
	cmake -S . -B $(BUILD)/x64 -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x64-win32.cmake \
	    $(CROSS_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST)/x64 >/dev/null
	cmake --build $(BUILD)/x64 -j$(JOBS)

x86:
	cmake -S . -B $(BUILD)/x86 -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86-win32.cmake \
	    $(CROSS_FLAGS) -DQUORVA_DIST_DIR=$(ROOT)/$(DIST)/x86 >/dev/null
	cmake --build $(BUILD)/x86 -j$(JOBS)

# GoogleTest needs std::mutex: the posix thread model compilers.
x64-tests:
	cmake -S . -B $(BUILD)/x64-tests -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x64-posix.cmake \
	    $(CROSS_FLAGS) -DQUORVA_CONTRACT_TESTS=ON >/dev/null
	cmake --build $(BUILD)/x64-tests -j$(JOBS)

test: build
	cd $(BUILD)/native && ctest --output-on-failure

demo: build
	QUORVA_DIST_DIR=$(ROOT)/$(DIST) QUORVA_BUILD_ROOT=$(ROOT)/$(BUILD) sh tests/e2e/demo.sh

# The packaging tools come through the same installer as everything else.
release: deps
	$(MAKE) --no-print-directory deps PACKAGES="wixl osslsigncode openssl"
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
