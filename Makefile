# Behind the front door (./run play, ./run test): `make play` builds the
# player alone and plays the demo, `make test` builds everything and runs the
# whole suite. Both install missing Debian/Ubuntu packages first.
.PHONY: play player render install test test-asan build build-asan release-tree windows web npm deps clean

# The player alone needs a compiler, CMake and the ALSA headers; the rest of
# the build adds GoogleTest, and the suite mandoc, which lints the manual pages.
PLAYER_PACKAGES := g++ make cmake libasound2-dev
BUILD_PACKAGES := build-essential cmake pkg-config libgtest-dev libgmock-dev libasound2-dev
TEST_PACKAGES := mandoc
# The Windows player is cross-built with mingw-w64.
WINDOWS_PACKAGES := cmake g++-mingw-w64-x86-64
# The browser player is built with clang's wasm32 target and wasm-ld; the
# wasm32 sysroot only provides the standard headers.
WEB_PACKAGES := clang lld llvm libc++-dev-wasm32
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

DEPS := $(BUILD_PACKAGES)
player render install release-tree: DEPS := $(PLAYER_PACKAGES)
test test-asan: DEPS := $(BUILD_PACKAGES) $(TEST_PACKAGES)

# The guidance after a failed play names the checkout when make was run
# from elsewhere (make -C): $(PWD) is the folder make was started in.
play: player
	@ZINDLE_CALLER_DIR="$${ZINDLE_CALLER_DIR:-$(PWD)}" scripts/play-demo

player: release-tree
	cmake --build --preset release -j $(JOBS) --target zindle

# zindle-render, which renders a module into a WAV file instead of playing it.
render: release-tree
	cmake --build --preset release -j $(JOBS) --target zindle-render

# The player, the renderer and the library (not the test suite) built and
# installed into PREFIX, all or nothing (scripts/install-into).
install: release-tree
	cmake --build --preset release -j $(JOBS) --target zindle zindle-render zindle_shared zindle_static
	@scripts/install-into "$(PREFIX)"

# A release tree made for the player alone leaves the test suite out (and so
# GoogleTest) until `make build` switches it on.
release-tree: deps
	@[ -f build/release/CMakeCache.txt ] || cmake --preset release -DZINDLE_TESTS=OFF

test: build
	ctest --preset release -j $(JOBS) --no-tests=error --output-on-failure

test-asan: build-asan
	ctest --preset asan -j $(JOBS) --no-tests=error --output-on-failure

build: deps
	cmake --preset release -DZINDLE_TESTS=ON
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

# build/npm/zindle-<version>.tgz, the npm package, with `npm pack`.
npm: web
	@command -v npm >/dev/null || scripts/install-deps npm
	cmake --build --preset web --target npm_package

deps:
	@scripts/install-deps $(DEPS)

clean:
	rm -rf build
