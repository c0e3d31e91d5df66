# qdlgen: for those who have make. `make demo` and `make test` run the
# README's two commands (scripts/demo, scripts/test); `make package` builds
# the Debian package and `make test-package` installs and removes it.

JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps build demo test test-release test-asan fuzz-smoke package test-package clean

all: build

demo:
	./scripts/demo

test:
	./scripts/test

package:
	./scripts/package

test-package:
	./scripts/test-package

deps:
	./scripts/install-deps.sh --test

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDLGEN_TESTS=ON
	cmake --build $(BUILD) -j$(JOBS)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQDLGEN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

fuzz-smoke: deps
	./scripts/fuzz-smoke.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz build-bench build-package
