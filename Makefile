# qdlgen: `make demo` builds the tool and converts the bundled example;
# `make test` builds and runs every test, then the sanitizer build of them.

JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps build demo test test-release test-asan fuzz-smoke clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQDLGEN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

fuzz-smoke: deps
	@if [ -x scripts/fuzz-smoke.sh ]; then ./scripts/fuzz-smoke.sh; else echo "no fuzz smoke run"; fi

test: test-release test-asan fuzz-smoke

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz build-bench
