"""Compile and import ``nembra_limit``, the limit role of the benchmarks (see limit.cpp).

The module is compiled from ``limit.cpp`` and the extension's own number formatter,
``src/nembra/result/number_text.cpp``, against the headers of the interpreter that runs
this code (found through ``sysconfig``), with the optimisation flags of the extension's
release build. The result is kept under ``benchmarks/limit/build/``, named by a hash of
the sources, the command and the interpreter, so a changed formatter or another
interpreter builds anew and an unchanged one is reused. ``CXX`` picks the compiler
(default: the interpreter's, else ``g++``).
"""

import hashlib
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FORMATTER_DIR = os.path.join(ROOT, "src", "nembra", "result")
SOURCES = [os.path.join(HERE, "limit.cpp"), os.path.join(FORMATTER_DIR, "number_text.cpp")]
DEPENDS = SOURCES + [os.path.join(FORMATTER_DIR, "number_text.hpp")]
BUILD_DIR = os.path.join(HERE, "build")
MODULE_NAME = "nembra_limit"

# The extension's CMake release build compiles with -O3 -DNDEBUG and hidden visibility.
FLAGS = ["-std=c++17", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden",
         "-Wall", "-Wextra"]


def compiler():
    configured = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "g++"
    return shlex.split(configured)


def command(output):
    paths = sysconfig.get_paths()
    includes = {paths["include"], paths["platinclude"], FORMATTER_DIR}
    return [*compiler(), *FLAGS, *(f"-I{d}" for d in sorted(includes)), *SOURCES, "-o", output]


def module_path():
    """Where the module for this interpreter and these sources is (or will be) built."""
    digest = hashlib.sha256()
    for path in DEPENDS:
        with open(path, "rb") as source:
            digest.update(source.read())
    digest.update(" ".join(command("out")).encode())
    digest.update(sys.version.encode())
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return os.path.join(BUILD_DIR, digest.hexdigest()[:16], MODULE_NAME + suffix)


def build():
    """Compile the module unless this exact build exists; return its path."""
    path = module_path()
    if os.path.exists(path):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    partial = f"{path}.{os.getpid()}.tmp"
    done = subprocess.run(command(partial), capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"cannot compile {MODULE_NAME}:\n{' '.join(command(partial))}\n"
                           f"{done.stdout}{done.stderr}")
    os.replace(partial, path)  # atomic: a concurrent build of the same sources is identical
    prune(path)
    return path


def prune(kept):
    """Remove the earlier builds for this interpreter, now that sources have changed."""
    name = os.path.basename(kept)
    for entry in os.listdir(BUILD_DIR):
        directory = os.path.join(BUILD_DIR, entry)
        if directory != os.path.dirname(kept) and os.path.exists(os.path.join(directory, name)):
            shutil.rmtree(directory, ignore_errors=True)


def load():
    """The ``nembra_limit`` module, compiled first when needed."""
    if MODULE_NAME in sys.modules:
        return sys.modules[MODULE_NAME]
    spec = importlib.util.spec_from_file_location(MODULE_NAME, build())
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[MODULE_NAME] = module
    return module
