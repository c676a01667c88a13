"""Builds libmosslib from the source tree this package sits in and puts it next to the
installed package, in a platform-tagged wheel (metadata: pyproject.toml).

    pip install --no-build-isolation ./python

compiles the library with CMake (Debian's cmake and g++) in the build directory of the
Python build; MOSSLIB_LIBRARY=/path/to/libmosslib.so uses a library built already."""

import os
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel: pip builds no wheel either
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def _library_name(path):
    return "mosslib.dll" if path.lower().endswith(".dll") else "libmosslib.so"


class BuildWithLibrary(build_py):
    def run(self):
        self._vendor_web()
        super().run()
        src = os.environ.get("MOSSLIB_LIBRARY") or self._build_library()
        dst = os.path.join(self.build_lib, "mosslib", _library_name(src))
        shutil.copyfile(os.path.realpath(src), dst)

    def _vendor_web(self):
        """The browser page's plotting library from npm (tools/web/vendor.sh), where npm
        is; without it the package installs and `mossfit serve` says what is missing."""
        script = os.path.join(SOURCE, "tools", "web", "vendor.sh")
        if os.path.exists(script) and shutil.which("npm"):
            work = os.path.join(os.path.abspath(self.get_finalized_command("build").build_temp),
                                "web-vendor")
            subprocess.run(["bash", script, work], check=True)

    def _build_library(self):
        if not os.path.exists(os.path.join(SOURCE, "CMakeLists.txt")):
            sys.exit(f"mosslib: the library's sources are not beside this package ({SOURCE}); "
                     f"install from a checkout, or set MOSSLIB_LIBRARY to a built libmosslib.so")
        if shutil.which("cmake") is None:
            sys.exit("mosslib: building the library needs CMake and a C++ compiler "
                     "(Debian: apt-get install cmake g++)")
        build = os.path.join(os.path.abspath(self.get_finalized_command("build").build_temp),
                             "libmosslib")
        jobs = str(len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 2)
        for command in (["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                         "-DMOSSLIB_TESTS=OFF", "-DMOSSLIB_BENCH=OFF"],
                        ["cmake", "--build", build, "--target", "mosslib", "-j", jobs]):
            self.announce(" ".join(command), level=2)
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL if not self.verbose
                           else None)
        return os.path.join(build, "src", "libmosslib.so")


commands = {"build_py": BuildWithLibrary}
if bdist_wheel is not None:
    class PlatformWheel(bdist_wheel):
        """The wheel carries a compiled library: tagged for the platform, for any Python 3
        (the package reaches the library through ctypes, not the Python ABI)."""

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    commands["bdist_wheel"] = PlatformWheel

class DistributionWithLibrary(Distribution):
    def has_ext_modules(self):  # a compiled library inside: built into the platform tree
        return True


setup(cmdclass=commands, distclass=DistributionWithLibrary)
