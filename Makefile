# Front door for people: each target installs what is missing, configures and builds.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test demo gui bench asan tsan clean

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

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
asan:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Debug -DQUELLMARK_SANITIZE=address,undefined'

# The concurrent parts under ThreadSanitizer.
tsan:
	@$(MAKE) build BUILD=build-tsan CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Debug -DQUELLMARK_SANITIZE=thread -DQUELLMARK_BUILD_UI=OFF'
	@for t in output media engine; do \
	  if [ -x build-tsan/tests/test_$$t ]; then build-tsan/tests/test_$$t || exit 1; fi; \
	done

clean:
	rm -rf build build-asan build-tsan
