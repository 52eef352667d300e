# The front door: `make play` builds and plays the demo, `make test` builds
# and runs the whole suite. Both install missing Debian/Ubuntu packages.
.PHONY: play test test-asan build build-asan windows web deps clean

BUILD_PACKAGES := build-essential cmake pkg-config libgtest-dev libgmock-dev libasound2-dev
# The Windows player is cross-built with mingw-w64.
WINDOWS_PACKAGES := cmake g++-mingw-w64-x86-64
# The browser player is built with clang's wasm32 target and wasm-ld; the
# wasm32 sysroot only provides the standard headers.
WEB_PACKAGES := clang lld llvm libc++-dev-wasm32
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

# zindle.wasm and the player page in build/web
web:
	@scripts/install-deps $(WEB_PACKAGES)
	cmake --preset web
	cmake --build --preset web -j $(JOBS)

deps:
	@scripts/install-deps $(BUILD_PACKAGES)

clean:
	rm -rf build
