# SPDX-License-Identifier: MIT
# Thin wrapper over CMake so the everyday commands stay short.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
comma := ,

.PHONY: all build test release-build run demo install package check-package check-systemd bench clean check-asan check-tsan check-valgrind coverage fuzz load FORCE

all: build

# Configures afresh whenever CMAKE_FLAGS differs from the last configure's
# (kept in .cmake-flags), so that a flag taken away is gone too.
configure = @if [ "$$(cat $(1)/.cmake-flags 2>/dev/null)" != "$(2) $(CMAKE_FLAGS)" ]; then \
	cmake --fresh -S . -B $(1) $(2) $(CMAKE_FLAGS) && echo "$(2) $(CMAKE_FLAGS)" > $(1)/.cmake-flags; fi

$(BUILD)/CMakeCache.txt: FORCE
	$(call configure,$(BUILD),)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# ctest keeps the reasons of skipped tests in its log only: they are
# printed after it.
test: build
	@status=0; (cd $(BUILD) && ctest --output-on-failure -j $(JOBS)) || status=$$?; \
	tests/skip_reasons.sh $(BUILD); exit $$status

run: build
	./$(BUILD)/tessarind -d

# The daemon and the client only: the tour compiles no test.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target tessarind tessarind-client
	./tools/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)

# A Debian package (debhelper, flags from dpkg-buildflags), left in dist/
# with its -dbgsym package; dpkg-buildpackage writes beside the source tree.
VERSION = $(shell dpkg-parsechangelog -S Version 2>/dev/null)
# Debian's own python3 builds the Python package, whatever else PATH holds.
package:
	PATH=/usr/bin:$$PATH dpkg-buildpackage -us -uc -b
	rm -rf dist
	mkdir dist
	mv ../*tessarind*_$(VERSION)_*.deb ../tessarind_$(VERSION)_*.buildinfo ../tessarind_$(VERSION)_*.changes dist/

check-package: package
	./tools/check_package.sh dist

# The package under a real systemd, in a container booted from a cached
# Debian base (needs root, debootstrap and systemd-nspawn). With RELEASE
# (e.g. trixie): the tree is first built, tested and packaged on that
# release, in a container rootfs (release-build), and its packages are
# checked in a booted container of the same release.
RELEASE ?=
ifeq ($(RELEASE),)
check-systemd: package
	./tools/check_systemd.sh dist build-systemd
else
check-systemd: release-build
	./tools/check_systemd.sh dist-$(RELEASE) build-systemd-$(RELEASE) $(RELEASE)
endif

release-build:
	./tools/release_build.sh $(RELEASE) dist-$(RELEASE) build-$(RELEASE)

# Measures what ships: the default build (what make, make install and the
# package give). Beside it, on the one-client figure, the same build without
# helper threads (also under bulk load), a Release (-O3) build and one with
# Debian's packaging flags, each labelled.
# BASELINE=REV (a commit) builds that commit's daemon too, from a worktree
# in build-bench-baseline/, as the first other build: the short-request
# table and the tails under bulk load are taken beside it, interleaved.
DEB_CXXFLAGS = $(shell dpkg-buildflags --get CXXFLAGS 2>/dev/null) $(shell dpkg-buildflags --get CPPFLAGS 2>/dev/null)
DEB_LDFLAGS = $(shell dpkg-buildflags --get LDFLAGS 2>/dev/null)
BASELINE ?=
bench:
	@if [ -n "$(BASELINE)" ]; then \
		rm -rf build-bench-baseline && git worktree prune && \
		git worktree add --detach build-bench-baseline $(BASELINE) && \
		cmake -S build-bench-baseline -B build-bench-baseline/build -DTESSARIND_TESTS=OFF && \
		cmake --build build-bench-baseline/build -j $(JOBS) --target tessarind; fi
	cmake -S . -B build-bench -DTESSARIND_TESTS=OFF -DTESSARIND_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	cmake -S . -B build-bench-nohelpers -DTESSARIND_TESTS=OFF -DTESSARIND_MAX_HELPERS=0
	cmake --build build-bench-nohelpers -j $(JOBS) --target tessarind
	cmake -S . -B build-bench-release -DCMAKE_BUILD_TYPE=Release -DTESSARIND_TESTS=OFF
	cmake --build build-bench-release -j $(JOBS) --target tessarind
	CXXFLAGS="$(DEB_CXXFLAGS)" LDFLAGS="$(DEB_LDFLAGS)" cmake -S . -B build-bench-deb -DCMAKE_BUILD_TYPE=None -DTESSARIND_TESTS=OFF
	cmake --build build-bench-deb -j $(JOBS) --target tessarind
	./build-bench/bench/tessarind-bench ./build-bench/tessarind \
		$(if $(BASELINE),"baseline $(BASELINE)=./build-bench-baseline/build/tessarind") \
		"helpers off=./build-bench-nohelpers/tessarind" \
		"Release (-O3)=./build-bench-release/tessarind" \
		"None with dpkg-buildflags ($(strip $(DEB_CXXFLAGS)) $(strip $(DEB_LDFLAGS)))=./build-bench-deb/tessarind"

# The long load run: 64 concurrent clients for 20 rounds.
load: build
	./$(BUILD)/tools/tessarind-load -c 64 -r 20 --daemon ./$(BUILD)/tessarind

# The whole suite again under sanitizers, each in its own build folder.
check-asan:
	$(call configure,build-asan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIND_SANITIZE=address$(comma)undefined)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

check-tsan:
	$(call configure,build-tsan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIND_SANITIZE=thread)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

# The tests in a build with gcc's coverage counters, then the report: a
# table per file and one line per folder, "coverage FOLDER LINES% BRANCHES%".
coverage:
	$(call configure,build-coverage,-DCMAKE_BUILD_TYPE=Debug -DTESSARIND_COVERAGE=ON)
	cmake --build build-coverage -j $(JOBS)
	find build-coverage -name '*.gcda' -delete
	# One counters file per object, made empty and writable by all: the
	# tests run programs as other users too, whose counts merge there.
	find build-coverage -name '*.gcno' | sed 's/\.gcno$$/.gcda/' | xargs -r touch
	find build-coverage -name '*.gcda' -exec chmod 0666 {} +
	@status=0; (cd build-coverage && ctest -j $(JOBS) --output-on-failure) || status=$$?; \
	tools/coverage.sh build-coverage && exit $$status

# Each fuzz target for FUZZ_SECONDS, starting from the committed seed corpus;
# what it finds new stays in build-fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = decoder record cipher
FUZZ_CMAKE_FLAGS = -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIND_FUZZ=ON \
	-DTESSARIND_TESTS=OFF -DTESSARIND_SANITIZE=address$(comma)undefined
fuzz:
	$(call configure,build-fuzz,$(FUZZ_CMAKE_FLAGS))
	cmake --build build-fuzz -j $(JOBS)
	for t in $(FUZZ_TARGETS); do ./fuzz/run.sh build-fuzz $$t $(FUZZ_SECONDS) || exit 1; done

# One end-to-end scenario with the daemon under memcheck: any invalid
# access or definite leak makes it exit 99 and the test fail.
check-valgrind: build
	cd $(BUILD) && TESSARIND_WRAPPER="valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite" \
		./tests/daemon_tests --gtest_filter='*ValgrindScenario*'

clean:
	rm -rf $(BUILD) dist build-systemd build-bench build-bench-nohelpers build-bench-release build-bench-deb build-bench-baseline build-asan build-tsan build-fuzz build-coverage
	git worktree prune
