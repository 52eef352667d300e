# Builds the extension zindle._zindle from the checkout's engine and library
# sources, so installing needs no libzindle: the package is the engine, the
# library and the binding in one shared object.
#
# The source lists and the kernels' flags are read from engine/ and
# library/CMakeLists.txt: C++20, and on x86 the mixer's kernels each
# compiled with its own instruction-set flag (chosen at run time, as in
# every other build). ZINDLE_KERNELS=OFF in the environment builds the plain
# mixer instead; both give the same bytes.
import os
import platform
import re
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
ENGINE = ROOT / "engine"
LIBRARY = ROOT / "library"

if not (ENGINE / "player_state.cpp").is_file():
    raise SystemExit("zindle: build the package from a zindle checkout (python/ beside engine/ and library/)")


def project_version():
    # The project's one version, as the top CMakeLists.txt sets it.
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(\s*zindle\s+VERSION\s+(\d+\.\d+\.\d+)", text)
    if not found:
        raise SystemExit("zindle: no project version in CMakeLists.txt")
    return found.group(1)


VERSION = project_version()

def cmake_text(folder):
    return (folder / "CMakeLists.txt").read_text(encoding="utf-8")


def cmake_list(text, pattern):
    found = re.search(pattern, text, re.S)
    if not found:
        raise SystemExit("zindle: cannot read the source list from CMakeLists.txt (%s)" % pattern)
    return found.groups()


# The sources and their flags, read from the CMake files that build every
# other form of the engine, so the lists are kept in one place.
ENGINE_CMAKE = cmake_text(ENGINE)
(ENGINE_SOURCES,) = cmake_list(ENGINE_CMAKE, r"add_library\(zindle_engine_objects OBJECT([^)]*)\)")
ENGINE_SOURCES = ENGINE_SOURCES.split()
X86_PROCESSORS, X86_BLOCK = cmake_list(
    ENGINE_CMAKE, r'if\(ZINDLE_KERNELS AND CMAKE_SYSTEM_PROCESSOR MATCHES "([^"]*)"\)(.*?)\nelseif')
(X86_SOURCES,) = cmake_list(X86_BLOCK, r"target_sources\(zindle_engine_objects PRIVATE([^)]*)\)")
X86_KERNELS = {source: [] for source in X86_SOURCES.split()}
for files, options in re.findall(r'set_source_files_properties\(([^)]*?)\s+PROPERTIES COMPILE_OPTIONS "([^"]*)"\)',
                                 X86_BLOCK):
    for source in files.split():
        # The block also gives engine sources (the plain mixer) options of
        # their own; those are built with the engine here.
        if source in X86_KERNELS:
            X86_KERNELS[source] = options.replace(";", " ").split()
(PLAIN_MIXER,) = cmake_list(ENGINE_CMAKE, r"else\(\)\s*target_sources\(zindle_engine_objects PRIVATE([^)]*)\)")
PLAIN_MIXER = PLAIN_MIXER.split()
(LIBRARY_SOURCES,) = cmake_list(cmake_text(LIBRARY), r"set\(ZINDLE_LIBRARY_SOURCES([^)]*)\)")
LIBRARY_SOURCES = LIBRARY_SOURCES.split()
CXX_FLAGS = ["-std=c++20", "-fno-exceptions", "-fno-rtti", "-fvisibility=hidden", "-g0", "-O3"]


def with_kernels():
    if os.environ.get("ZINDLE_KERNELS", "ON").upper() in ("OFF", "0", "NO", "FALSE"):
        return False
    return re.match(X86_PROCESSORS, platform.machine()) is not None


class BuildEngine(build_ext):
    """Compiles the sources that need flags of their own (the kernels) apart,
    and writes the library's version header from the project version."""

    def build_extension(self, ext):
        # Always from the sources: an earlier build's objects in build/ may
        # come from other sources, headers or kernel settings.
        self.force = True
        generated = Path(self.build_temp) / "generated"
        generated.mkdir(parents=True, exist_ok=True)
        header = generated / "library_version.h"
        text = '#pragma once\n#define ZINDLE_LIBRARY_VERSION "%s"\n' % VERSION
        if not header.is_file() or header.read_text() != text:
            header.write_text(text)
        ext.include_dirs += [str(generated), str(ROOT / "include"), str(ENGINE), str(LIBRARY)]
        # The checkout's sources, named here: setup() takes paths inside python/ only.
        ext.sources += [str(LIBRARY / s) for s in LIBRARY_SOURCES] + [str(ENGINE / s) for s in ENGINE_SOURCES]
        # The C compiler driver is kept, but everything here is C++.
        if "-Wstrict-prototypes" in self.compiler.compiler_so:
            self.compiler.compiler_so.remove("-Wstrict-prototypes")
        if with_kernels():
            for source, flags in X86_KERNELS.items():
                ext.extra_objects += self.compiler.compile(
                    [str(ENGINE / source)], output_dir=self.build_temp, include_dirs=[str(ENGINE)],
                    extra_postargs=CXX_FLAGS + flags, debug=self.debug)
        else:
            ext.sources += [str(ENGINE / s) for s in PLAIN_MIXER]
        super().build_extension(ext)


setup(
    version=VERSION,
    ext_modules=[Extension(
        "zindle._zindle",
        sources=["src/zindle_module.cpp"],
        extra_compile_args=CXX_FLAGS,
        language="c++",
    )],
    cmdclass={"build_ext": BuildEngine},
)
