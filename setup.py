# Builds the Python module with the project's own CMake build (python/CMakeLists.txt) for the
# interpreter running pip, without the sanitizers, and puts its type hints beside it.
import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DOSTREL_SANITIZE=OFF",
                               "-DOSTREL_TESTS=OFF", "-DOSTREL_BENCH=OFF",
                               "-DCMAKE_BUILD_TYPE=Release",
                               f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "-j2", "--target", "obx_python"])
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        built = glob.glob(os.path.join(build, "python", "obx*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one built module, found {built}")
        shutil.copyfile(built[0], target)
        shutil.copyfile(os.path.join(ROOT, "python", "obx.pyi"),
                        os.path.join(os.path.dirname(target), "obx.pyi"))


setup(ext_modules=[Extension("obx", sources=[])], cmdclass={"build_ext": CMakeBuild})
