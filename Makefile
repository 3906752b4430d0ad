# Developer entry points. Every target installs what it needs first.
BUILD_DIR ?= build
BENCH_DIR ?= build-release
FUZZ_DIR ?= build-fuzz
# CPU seconds each fuzz target runs for.
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench fuzz format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFOLIUM_SANITIZE=ON -DFOLIUM_WERROR=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) --timeout 600

demo: build
	scripts/demo $(BUILD_DIR)

# Release, without the tests: only the benchmarks and the programs they start are built.
bench: deps
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIUM_BENCH=ON -DFOLIUM_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target benchmarks
	scripts/bench $(BENCH_DIR)

# The decoders under libFuzzer with the sanitizers (clang, its own build folder), each target
# started from its committed corpus and stopped after FUZZ_SECONDS. New inputs go to
# $(FUZZ_DIR)/corpus/, a crash to $(FUZZ_DIR)/findings/ with the sanitizer's report.
fuzz:
	scripts/install-deps fuzz
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DFOLIUM_FUZZ=ON -DFOLIUM_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets
	scripts/fuzz $(FUZZ_DIR) $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(FUZZ_DIR)
