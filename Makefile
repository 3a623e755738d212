# Set-up and test entry points; see README.md. Every target first installs the
# Debian packages its purpose needs (scripts/deps <purpose>) and configures its
# build directory with the options it needs, whatever was configured before.
BUILD ?= build
# Second build of everything with AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

# configure <dir> <build type> [options]: tests and simulator on.
configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(2) -DP2P_BUILD_TESTS=ON $(3)

.PHONY: all build check demo package fuzz bench clean

all: build

build:
	scripts/deps build
	$(call configure,$(BUILD),RelWithDebInfo)
	cmake --build $(BUILD) -j$(JOBS)

# Both builds must run tests: ctest fails when it finds none.
check:
	scripts/deps check
	$(call configure,$(BUILD),RelWithDebInfo)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)
	$(call configure,$(SAN_BUILD),Debug,-DP2P_SANITIZE=ON)
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

# Only the two programs and p2psim are built for the demo, one line per step;
# what the steps print goes to $(DEMO_LOG), named when a step fails.
DEMO_LOG ?= $(BUILD)/demo-build.log
demo:
	@rm -f $(DEMO_LOG)
	@scripts/step $(DEMO_LOG) "Installing the Debian packages the demo needs" scripts/deps demo
	@scripts/step $(DEMO_LOG) "Configuring $(BUILD)/" $(call configure,$(BUILD),RelWithDebInfo)
	@scripts/step $(DEMO_LOG) "Building p2ptool, p2pwatch and the simulator p2psim" \
	  cmake --build $(BUILD) -j$(JOBS) --target p2ptool p2pwatch p2psim_cli
	@scripts/demo $(BUILD)

# The Debian packages p2ptool and p2pwatch (debian/), built by
# dpkg-buildpackage -b from a copy of the tracked sources in build-pkg/, where
# the .deb files land; lintian must find no error and no warning. Works from
# any directory (make -C <checkout> package).
PKG_BUILD ?= build-pkg
CHECKOUT := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
package:
	$(CHECKOUT)/scripts/deps package
	cd $(CHECKOUT) && JOBS=$(JOBS) scripts/package $(PKG_BUILD)
	cd $(CHECKOUT) && lintian --display-info --fail-on error,warning $(PKG_BUILD)/p2ptoolkit_*.changes

# Every libFuzzer target for FUZZ_SECONDS each, built with clang in build-fuzz/.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/deps fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

# Times p2ptool and p2pwatch on simulated fabrics of 8, 64 and 256 GPUs and
# counts the processes they start; prints a table, never fails on times.
# BENCH_ARGS reaches p2pbench (e.g. BENCH_ARGS="--sizes 8,64 --runs 5").
BENCH_ARGS ?=
bench:
	scripts/deps bench
	$(call configure,$(BUILD),RelWithDebInfo)
	cmake --build $(BUILD) -j$(JOBS) --target p2pbench
	$(BUILD)/bin/p2pbench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(PKG_BUILD) build-fuzz
