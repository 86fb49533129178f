# Front door of the build: `make build`, `make test`, `make run`.
# Each target first installs the Debian packages it needs when missing.

MAKEFLAGS += --no-print-directory

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	@sh scripts/run-sample.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
