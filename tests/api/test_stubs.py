"""The stubs against the package they describe: mypy's stubtest over every module of
whatever `import vorlex` finds (the source tree with PYTHONPATH=src, the installed
package otherwise), with stubtest_allowlist.txt beside this file.

What stubtest checks here: that every public name of a module is in its stub and every
name of a stub is in its module; that each is the same kind of thing (class, function,
property, constant) and a constant's value has the stub's type; the members of each
class, @final where Python cannot subclass a type, and __all__.

What it cannot check here, and what does:
- the parameters of the C++ functions: a routine's signature is read from its stub
  (src/cpp/bridge/signatures.cpp), so stubtest compares the stub with itself.
  test_signatures.py compares names, kinds and defaults with pybind11's own record of
  each function;
- annotations and return types: the C++ declares none (test_types.py runs mypy over
  programs that use them);
- instance attributes that C++ constructors set: test_instance_attributes below.
"""

from __future__ import annotations

import ast
import os
import pathlib
import pkgutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).resolve().parent
ALLOWLIST = HERE / "stubtest_allowlist.txt"


def test_stubtest_finds_no_drift(tmp_path):
    import vorlex

    package = pathlib.Path(vorlex.__file__).resolve().parent
    env = dict(os.environ)
    env["PYTHONPATH"] = str(package.parent)
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vorlex", "--allowlist", str(ALLOWLIST)],
        capture_output=True,
        text=True,
        env=env,
        cwd=str(tmp_path),
        timeout=900,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    # Every module was read: the package and each module below it.
    modules = 1 + len(list(pkgutil.walk_packages(vorlex.__path__, "vorlex.")))
    assert f"no issues found in {modules} modules" in run.stdout, run.stdout


def test_every_allowlist_entry_gives_its_reason():
    entries = [
        line
        for line in ALLOWLIST.read_text("utf-8").splitlines()
        if line.strip() and not line.lstrip().startswith("#")
    ]
    assert entries
    for line in entries:
        entry, _, reason = line.partition("#")
        assert entry.strip() and len(reason.strip()) >= 10, line


# -- instance attributes -----------------------------------------------------------------


def stub_attributes(module: str, cls: str) -> set[str]:
    """Names a class body of the module's stub declares with an annotation (fields)."""
    import importlib.util

    origin = pathlib.Path(importlib.util.find_spec(module).origin)
    stub = origin.with_name(module.rsplit(".", 1)[-1] + ".pyi")
    tree = ast.parse(stub.read_text("utf-8"))
    body = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls).body
    return {n.target.id for n in body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}


def instances(tmp_path):
    """(module, class, [instances in each configuration that sets other fields])."""
    from vorlex.cache import DocumentCache
    from vorlex.contract.auth import VorlexAuth
    from vorlex.contract.checker import ContractChecker
    from vorlex.providers.google import _DeferredClient
    from vorlex.reader import Vorlex
    from vorlex.resilience import CircuitBreaker

    readers = [
        Vorlex(openai_api_key="sk", enable_cache=True, circuit_breaker=True),
        Vorlex(
            provider="azure", azure_api_key="k", azure_endpoint="http://127.0.0.1:9", azure_deployment="d"
        ),
        Vorlex(provider="google", google_api_key="k"),
        Vorlex(provider="grok", grok_api_key="k"),
    ]
    cache = DocumentCache(cache_path=tmp_path / "cache.sqlite")
    cache.put("k", readers[0]._empty_document_result(Vorlex.create_question("q", "q", "{texto}")))
    cache.get("k")
    return [
        ("vorlex.reader", "Vorlex", readers),
        ("vorlex.cache", "DocumentCache", [DocumentCache(), cache]),
        ("vorlex.resilience", "CircuitBreaker", [CircuitBreaker()]),
        ("vorlex.contract.auth", "VorlexAuth", [VorlexAuth(openai_api_key="sk")]),
        (
            "vorlex.contract.checker",
            "ContractChecker",
            [ContractChecker("BR", openai_api_key="sk", verbose=False)],
        ),
        ("vorlex.providers.google", "_DeferredClient", [_DeferredClient(None)]),
    ]


def test_instance_attributes(tmp_path, clean_env):
    """The fields the C++ constructors set are the fields the stubs declare: each one
    a constructor sets is declared, and each declared one is set by some configuration
    or provided by the class (a property, a constant)."""
    made = instances(tmp_path)
    try:
        for module, cls, objects in made:
            declared = stub_attributes(module, cls)
            found = set().union(*(vars(o) for o in objects))
            assert found - declared == set(), f"{module}.{cls}: not in the stub"
            kind = type(objects[0])
            assert {n for n in declared - found if not hasattr(kind, n)} == set(), (
                f"{module}.{cls}: in the stub, set by no constructor"
            )
    finally:
        for _, _, objects in made:
            for o in objects:
                if callable(getattr(type(o), "close", None)):
                    o.close()
