# The front door: `make play` builds and plays the demo, `make test` builds
# and runs the whole suite. Both install missing Debian/Ubuntu packages.
.PHONY: play test test-asan build build-asan windows deps clean

BUILD_PACKAGES := build-essential cmake pkg-config libgtest-dev libgmock-dev libasound2-dev
# The Windows player is cross-built with mingw-w64.
WINDOWS_PACKAGES := cmake g++-mingw-w64-x86-64
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

play: build
	build/bin/zindle examples/demo.mod

test: build
	ctest --preset release -j $(JOBS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS)

build: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

# zindle.exe in build/windows/bin
windows:
	@scripts/install-deps $(WINDOWS_PACKAGES)
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

deps:
	@scripts/install-deps $(BUILD_PACKAGES)

clean:
	rm -rf build
