# Developer entry points. Every target installs what it needs first.
BUILD_DIR ?= build
BENCH_DIR ?= build-release
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench format clean

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

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR)
