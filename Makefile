# Set-up and test entry points; see README.md.
BUILD ?= build
# Second build of everything with AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps configure build check demo clean

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

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
