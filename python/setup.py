# Builds the extension zindle._zindle from the checkout's engine and library
# sources, so installing needs no libzindle: the package is the engine, the
# library and the binding in one shared object.
#
# The flags that decide bytes follow engine/CMakeLists.txt: C++20, and on
# x86 the mixer's kernels each compiled with its own instruction-set flag
# (chosen at run time, as in every other build). ZINDLE_KERNELS=OFF in the
# environment builds the plain mixer instead; both give the same bytes.
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

ENGINE_SOURCES = [
    "player_state.cpp", "console_text.cpp", "module_loader.cpp", "row_decoder.cpp", "tick_effects.cpp",
    "voice_update.cpp", "instrument.cpp", "mixer.cpp", "mixer_reference.cpp", "tick_clock.cpp",
]
# The x86 kernels and the flag each file is built with.
X86_KERNELS = {
    "x86/cpu_features.cpp": [], "x86/kernel_table.cpp": [],
    "x86/sse2.cpp": ["-msse2"], "x86/ssse3.cpp": ["-mssse3"],
    "x86/avx2.cpp": ["-mavx2"], "x86/avx2_split.cpp": ["-mavx2"],
}
CXX_FLAGS = ["-std=c++20", "-fno-exceptions", "-fno-rtti", "-fvisibility=hidden", "-g0", "-O3"]


def with_kernels():
    if os.environ.get("ZINDLE_KERNELS", "ON").upper() in ("OFF", "0", "NO", "FALSE"):
        return False
    return platform.machine().lower() in ("x86_64", "amd64", "i386", "i486", "i586", "i686", "x86")


class BuildEngine(build_ext):
    """Compiles the sources that need flags of their own (the kernels) apart,
    and writes the library's version header from the project version."""

    def build_extension(self, ext):
        generated = Path(self.build_temp) / "generated"
        generated.mkdir(parents=True, exist_ok=True)
        header = generated / "library_version.h"
        text = '#pragma once\n#define ZINDLE_LIBRARY_VERSION "%s"\n' % VERSION
        if not header.is_file() or header.read_text() != text:
            header.write_text(text)
        ext.include_dirs += [str(generated), str(ROOT / "include"), str(ENGINE), str(LIBRARY)]
        # The checkout's sources, named here: setup() takes paths inside python/ only.
        ext.sources += [str(LIBRARY / "zindle.cpp")] + [str(ENGINE / s) for s in ENGINE_SOURCES]
        # The C compiler driver is kept, but everything here is C++.
        if "-Wstrict-prototypes" in self.compiler.compiler_so:
            self.compiler.compiler_so.remove("-Wstrict-prototypes")
        if with_kernels():
            for source, flags in X86_KERNELS.items():
                ext.extra_objects += self.compiler.compile(
                    [str(ENGINE / source)], output_dir=self.build_temp, include_dirs=[str(ENGINE)],
                    extra_postargs=CXX_FLAGS + flags, debug=self.debug)
        else:
            ext.sources.append(str(ENGINE / "mixer_no_kernels.cpp"))
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
