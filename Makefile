# Build targets.

# ---- fuzzing and benchmarks of the restart check (not part of make test) ----
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
BENCH_BUILD := build/bench

.PHONY: fuzz bench
fuzz:
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j2
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/make_seed_corpus $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/record_walker_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 \
	    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ \
	    $(FUZZ_BUILD)/corpus

bench:
	cmake -S bench -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j2
	$(BENCH_BUILD)/restart_check_bench
