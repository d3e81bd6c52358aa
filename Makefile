# Quick start:
#   make run     build revnote and annotate the sample commit message
#   make check   build and run every test
# Both install missing Debian packages first (scripts/install-deps);
# make install never does.
BUILD       ?= build
ASAN_BUILD  ?= build-asan
CLANG_BUILD ?= build-clang
FUZZ_BUILD  ?= build-fuzz
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure -j2
FUZZ_SECONDS ?= 20

.PHONY: all deps deps-run deps-test configure build run check quick-check asan-check clang-build \
        fuzz-smoke lint-man bench install clean

all: build

deps-run:
	scripts/install-deps run

deps:
	scripts/install-deps build

deps-test:
	scripts/install-deps test

configure:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps configure
	cmake --build $(BUILD)

# Only revnote and its fetch module: a compiler, CMake, Ninja and libcurl.
run: deps-run configure
	cmake --build $(BUILD) --target revnote
	$(BUILD)/bin/revnote < examples/commit-message.txt

check: deps-test configure
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

# Everything but the tests labelled long (lock waits, concurrency, servers).
quick-check: deps-test configure
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) $(CTEST_FLAGS) -LE long

asan-check: deps-test
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DREVNOTE_SANITIZE=ON -DREVNOTE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS)

# The whole suite with the portable stdio code of src/platform/stdio_access.h.
PORTABLE_BUILD ?= build-portable
.PHONY: portable-check
portable-check: deps-test
	cmake -S . -B $(PORTABLE_BUILD) -G Ninja -DREVNOTE_PORTABLE_STDIO=ON -DREVNOTE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(PORTABLE_BUILD)
	ctest --test-dir $(PORTABLE_BUILD) $(CTEST_FLAGS)

clang-build: deps-test
	CXX=clang++ CC=clang cmake -S . -B $(CLANG_BUILD) -G Ninja -DREVNOTE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(CLANG_BUILD)

fuzz-smoke: deps-test
	CXX=clang++ CC=clang cmake -S . -B $(FUZZ_BUILD) -G Ninja -DREVNOTE_FUZZ=ON \
	  -DREVNOTE_BUILD_TESTS=OFF -DREVNOTE_BUILD_BENCH=OFF -DREVNOTE_BUILD_EXAMPLES=OFF
	cmake --build $(FUZZ_BUILD)
	tests/fuzz/run-fuzzers $(FUZZ_BUILD)/bin $(FUZZ_SECONDS)

lint-man:
	@set -- docs/*.[0-9]; [ -e "$$1" ] || { echo "no man pages"; exit 0; }; out=$$(mandoc -Tlint -W warning "$$@" 2>&1); \
	  if [ -n "$$out" ]; then echo "$$out"; exit 1; fi; echo "mandoc -Tlint: clean"

bench: build
	bench/run-all $(BUILD)

# Builds what is missing and installs; never installs packages.
install: configure
	cmake --build $(BUILD)
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(CLANG_BUILD) $(FUZZ_BUILD)
	rm -rf $(PORTABLE_BUILD)
