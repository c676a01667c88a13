"""Puts the built library next to the installed package: $MOSSLIB_LIBRARY, else
../build/src/libmosslib.so of this source tree (metadata: pyproject.toml)."""

import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        src = os.environ.get("MOSSLIB_LIBRARY") or os.path.join(HERE, "..", "build", "src",
                                                                "libmosslib.so")
        if os.path.exists(src):
            name = "mosslib.dll" if src.lower().endswith(".dll") else "libmosslib.so"
            dst = os.path.join(self.build_lib, "mosslib", name)
            shutil.copyfile(os.path.realpath(src), dst)
        else:
            print(f"mosslib: {src} not found; the installed package will look for the "
                  f"library through MOSSLIB_LIBRARY or the build tree")


setup(cmdclass={"build_py": BuildWithLibrary})
