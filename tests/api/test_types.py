"""mypy in strict mode over the examples and a program using every public name; and a
program with type errors that mypy must find, so that the stubs are known to be read
(an untyped package would pass anything)."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[2]


def mypy(*paths, tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--config-file",
            str(ROOT / "pyproject.toml"),
            "--cache-dir",
            str(tmp_path / "cache"),
            *map(str, paths),
        ],
        capture_output=True,
        text=True,
        env=env,
        cwd=str(ROOT),
        timeout=600,
    )


def test_examples_and_public_names_pass_strict(tmp_path):
    run = mypy(
        *sorted((ROOT / "examples").glob("*.py")), ROOT / "tests/api/typed_usage.py", tmp_path=tmp_path
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_type_errors_in_calls_are_found(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from vorlex import Vorlex\n"
        "from vorlex.contract.countries.br.cnpj import validar_cnpj\n"
        "reader = Vorlex(api_key='x')\n"
        "count: int = reader.process('a.pdf')\n"
        "flag: str = validar_cnpj('1')\n"
        "reader.process_batch(['a.pdf'], progress=True)\n"
        "Vorlex(provider='anthropic', ocr_fallback='sempre')\n"
        "reader.process_batch(['a.pdf'])[0].results[0].status = 'TALVEZ'\n"
    )
    run = mypy(bad, tmp_path=tmp_path)
    assert run.returncode == 1
    assert run.stdout.count("bad.py:7: error") == 2, run.stdout
    for line in (3, 4, 5, 6, 8):
        assert f"bad.py:{line}: error" in run.stdout, run.stdout
