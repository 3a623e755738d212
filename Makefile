# Set-up and test entry points; see README.md.
BUILD ?= build
# Second build of everything with AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps configure build check demo package fuzz bench clean

all: build

deps:
	scripts/deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DP2P_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	scripts/demo $(BUILD)

# Debian package of the programs, the p2pwatch unit and the man pages, from a
# release build without the tests in build-pkg/; the .deb lands there.
PKG_BUILD ?= build-pkg
package: deps
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DP2P_BUILD_TESTS=OFF
	cmake --build $(PKG_BUILD) -j$(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB

# Every libFuzzer target for FUZZ_SECONDS each, built with clang in build-fuzz/.
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

# Times p2ptool and p2pwatch on simulated fabrics of 8, 64 and 256 GPUs and
# counts the processes they start; prints a table, never fails on times.
# BENCH_ARGS reaches p2pbench (e.g. BENCH_ARGS="--sizes 8,64 --runs 5").
BENCH_ARGS ?=
bench: build
	$(BUILD)/bin/p2pbench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(PKG_BUILD) build-fuzz
