# Front door for people: each target installs what is missing, configures and builds.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test demo gui bench package asan tsan fuzz clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@scripts/run-demo.sh $(BUILD)

gui: build
	@$(BUILD)/src/ui/quellmark

bench: build
	@scripts/run-benchmarks.sh $(BUILD)

# The Debian package, from a build of its own without the tests:
# build-package/quellmark_<version>_<architecture>.deb.
package: deps
	@cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLMARK_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-package -j $(JOBS)
	@cd build-package && cpack -G DEB

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
asan:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Debug -DQUELLMARK_SANITIZE=address,undefined'

# The concurrent parts under ThreadSanitizer.
tsan:
	@$(MAKE) build BUILD=build-tsan CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Debug -DQUELLMARK_SANITIZE=thread -DQUELLMARK_BUILD_UI=OFF'
	@for t in output media engine; do \
	  if [ -x build-tsan/tests/test_$$t ]; then build-tsan/tests/test_$$t || exit 1; fi; \
	done

# Each libFuzzer target for FUZZ_SECONDS (clang 16, AddressSanitizer + UBSan).
FUZZ_SECONDS ?= 60
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLMARK_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-package
