# The browser build: clang's wasm32 target with wasm-ld, freestanding.
# The wasm32-wasi sysroot (Debian's wasi-libc and libc++-dev-wasm32)
# provides only the standard headers: nothing is linked from it, so the
# module imports nothing and runs in any WebAssembly runtime.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
# Without a C library there is nothing for CMake's test programs to link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The objects are LLVM bitcode (below): LLVM's archiver indexes them.
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")

# Bulk memory turns every memcpy and memset into one instruction, so none
# of them needs a C library behind it. Link-time optimisation inlines the
# engine's procedures into each other across files (they call each other
# once per frame or tick), which about doubles the speed.
set(CMAKE_C_FLAGS_INIT "-mbulk-memory -flto")
set(CMAKE_CXX_FLAGS_INIT "-mbulk-memory -flto")

# The module is linked by wasm-ld itself, which also runs the link-time
# optimisation (at -O2, as through clang): the clang driver would run
# binaryen's wasm-opt over the result wherever one is installed, without
# the features this build uses, and fail. No library is linked.
find_program(ZINDLE_WASM_LD NAMES wasm-ld wasm-ld-14 REQUIRED)
set(CMAKE_CXX_LINK_EXECUTABLE "${ZINDLE_WASM_LD} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_EXE_LINKER_FLAGS_INIT "--no-entry")

# Nothing is installed from this tree; the library folder's name only
# keeps GNUInstallDirs from guessing at a target it does not know.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "")
