# Entry points for people and CI. Every target installs what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PORT ?= 8080
RUN_DIR ?= $(CURDIR)/run
JOBS ?= $(shell nproc)
WERROR ?= ON
# Builds of several checkouts on one machine take turns; two compilers at once on a small
# machine only slow each other down.
BUILD_LOCK ?= /tmp/kelvoserver-build.lock

.PHONY: all setup configure build test run bench clean install

all: build

setup:
	@./scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKELVO_WERROR=$(WERROR) >/dev/null

build: configure
	@flock $(BUILD_LOCK) cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j2 --timeout 600

run: build
	@PORT=$(PORT) RUN_DIR=$(RUN_DIR) BUILD_DIR=$(abspath $(BUILD_DIR)) exec setpriv --pdeathsig TERM ./scripts/run.sh

bench: build
	@BUILD_DIR=$(abspath $(BUILD_DIR)) ./bench/run.sh

install: build
	@BUILD_DIR=$(abspath $(BUILD_DIR)) ./scripts/install.sh

clean:
	rm -rf $(BUILD_DIR)
