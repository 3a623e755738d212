# Set-up and test entry points; see README.md.
BUILD ?= build
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

demo: build
	scripts/demo $(BUILD)

clean:
	rm -rf $(BUILD)
