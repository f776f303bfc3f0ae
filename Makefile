# Thin wrapper over CMake so that the everyday commands stay short.
BUILD      ?= build
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# Read when the configure step runs, not when make starts: on a fresh machine the bootstrap
# installs ninja just before, and the first configure should already use it.
CMAKE_GEN   = $$(command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all bootstrap build test bench fuzz run package check-fresh clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite: installs what is missing, builds, starts the test PostgreSQL, runs CTest.
test: build
	@scripts/run-tests $(BUILD)

bench: build
	@scripts/run-bench $(BUILD)

fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DKMP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target kmp_fuzzers
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz $(FUZZ_BUILD)

run: build
	@scripts/run-demo $(BUILD)

# The Debian packages kmp-appserver and kmp-host, in $(BUILD)/packages.
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -1 $(BUILD)/packages/*.deb

# The README's set-up on a fresh Debian 12 minbase root (debootstrap): make test, run, package.
check-fresh:
	@scripts/check-fresh

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
