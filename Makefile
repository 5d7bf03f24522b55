# SPDX-License-Identifier: MIT
# Thin wrapper over CMake so the everyday commands stay short.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build test run demo install package bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	./$(BUILD)/tessarind -d

demo: build
	./tools/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)

package: build
	cd $(BUILD) && cpack

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSARIND_TESTS=OFF -DTESSARIND_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench/tessarind_bench

clean:
	rm -rf $(BUILD) build-bench
