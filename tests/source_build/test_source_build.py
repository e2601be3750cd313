"""The source build on a machine that cannot build it: the configure step stops with
CMake's message naming the compiler, before any source of the package is compiled."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CMAKE = shutil.which("cmake")
GXX = shutil.which("g++")

pytestmark = pytest.mark.skipif(
    CMAKE is None or GXX is None or not (ROOT / "CMakeLists.txt").exists(),
    reason="needs the source tree, cmake and g++",
)


def configure(tmp_path, compiler):
    env = dict(os.environ)
    env.pop("CXX", None)
    return subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(tmp_path / "build"), f"-DCMAKE_CXX_COMPILER={compiler}"],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


def test_compiler_without_cxx20_is_named(tmp_path):
    # A compiler that knows only C++17: g++ with every C++20 mode turned into C++17.
    old = tmp_path / "old-c++"
    old.write_text(
        '#!/bin/bash\nargs=()\nfor a in "$@"; do\n'
        '  case "$a" in -std=c++20|-std=gnu++20|-std=c++2a|-std=gnu++2a) a=-std=c++17;; esac\n'
        f'  args+=("$a")\ndone\nexec {GXX} "${{args[@]}}"\n'
    )
    old.chmod(0o755)
    run = configure(tmp_path, old)
    out = run.stdout + run.stderr
    assert run.returncode != 0, out
    assert "Vorlex needs a C++20 compiler" in out, out
    assert str(old) in out, out
    assert "Build files have been written" not in out, out


def test_missing_compiler_is_named(tmp_path):
    missing = tmp_path / "no-such-c++"
    run = configure(tmp_path, missing)
    out = run.stdout + run.stderr
    assert run.returncode != 0, out
    assert "no-such-c++" in out, out
    assert "Build files have been written" not in out, out
