"""The native types (the coroutine of the asynchronous operations, the Google call's
awaitable, the lazy page iterator) against plain Python that hands them the wrong
`self`: None, an object of another type, or an instance made without the library
(`T.__new__`, the base class's `__new__`). Each is a TypeError, never a crash; the types
cannot be instantiated or subclassed from Python. Every case runs in its own
interpreter, so a crash fails the case instead of the suite."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

TYPES = {
    "Coroutine": "import vorlex.reader as m; T = m.Coroutine",
    "GoogleCall": "import vorlex.providers.google as m; T = m.GoogleCall",
    "PageIterator": "import vorlex.utils as m; T = m.PageIterator",
}

PRELUDE = """
def refused(call, *args):
    try:
        call(*args)
    except TypeError:
        return
    raise AssertionError(f"{call!r}{args!r} was accepted")
"""

CASES = {
    # Unbound methods with None or a stranger as self.
    "wrong self": """
        methods = [n for n in ("close", "send", "throw", "__next__", "__iter__", "__await__",
                               "__repr__") if n in vars(T)]
        assert "close" in methods and "__next__" in methods, methods
        for name in methods:
            method = getattr(T, name)
            extra = {"send": (None,), "throw": (ValueError,)}.get(name, ())
            for self in (None, object(), 0, "texto", ValueError()):
                refused(method, self, *extra)
        if "throw" in vars(T):
            refused(T.throw, None, ValueError, ValueError("x"), None)
    """,
    # The type makes no instance from Python, not even through its base class.
    "made without the library": """
        refused(T)
        refused(T.__new__, T)
        empty = None
        for base in T.__mro__[1:]:
            try:
                empty = base.__new__(T)
            except TypeError:
                continue
            break
        if empty is not None:  # an instance that holds no object: every method refuses
            for name in ("close", "send", "throw", "__next__", "__repr__", "__iter__"):
                if name in vars(T):
                    extra = {"send": (None,), "throw": (ValueError,)}.get(name, ())
                    refused(getattr(T, name), empty, *extra)
            if "__repr__" in vars(T):
                refused(repr, empty)
            refused(next, empty)
            del empty
    """,
    "no subclass": """
        try:
            class Sub(T):
                pass
        except TypeError:
            pass
        else:
            raise AssertionError("subclassed")
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("type_name", sorted(TYPES))
def test_a_native_type_refuses_a_self_it_did_not_make(type_name, case):
    code = PRELUDE + TYPES[type_name] + "\n" + textwrap.dedent(CASES[case]) + "\nprint('ok')\n"
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=str(ROOT)
    )
    assert run.returncode == 0, f"exit {run.returncode}\n{run.stderr[-3000:]}"
    assert run.stdout.strip() == "ok"


def test_the_instances_the_library_makes_still_work():
    code = textwrap.dedent("""
        import asyncio
        import pymupdf
        from vorlex.reader import Vorlex
        from vorlex.utils import load_pdf_lazy

        doc = pymupdf.open()
        doc.new_page().insert_text((72, 72), "pagina de contrato")
        pages = load_pdf_lazy(doc.tobytes())
        assert iter(pages) is pages
        assert [p.metadata["page"] for p in pages] == [1]
        pages.close()

        reader = Vorlex(openai_api_key="x")
        coro = reader._run_questions_async([], [])
        assert repr(coro) == "<coroutine object Vorlex._run_questions_async>"
        assert coro.__await__() is coro
        print(asyncio.run(coro))
        coro = reader._run_questions_async([], [])
        coro.close()
        coro.close()
    """)
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=str(ROOT)
    )
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.strip().startswith("([]")


# -- the routines as Python's own functions --------------------------------------------


def test_mock_autospec_checks_calls_and_records_self():
    import inspect
    import pydoc
    from unittest import mock

    from vorlex import Vorlex
    from vorlex.contract.countries.br import cnpj

    reader = Vorlex(base_url="http://127.0.0.1:9/v1", model="m")
    with mock.patch.object(Vorlex, "process", autospec=True) as process:
        process.return_value = "feito"
        assert reader.process("a.pdf", questions=["q"]) == "feito"
        process.assert_called_once_with(reader, "a.pdf", questions=["q"])
        with pytest.raises(TypeError, match="bogus"):
            reader.process("a.pdf", bogus=1)
    with mock.patch.object(cnpj, "validar_cnpj", autospec=True) as validar:
        cnpj.validar_cnpj("11222333000181")
        validar.assert_called_once_with("11222333000181")
        with pytest.raises(TypeError):
            cnpj.validar_cnpj()
    # What tools read of a function: not a coroutine function, a code object naming it,
    # the stub's signature in help().
    assert inspect.isfunction(Vorlex.process) and not inspect.iscoroutinefunction(Vorlex.process)
    assert Vorlex.process.__code__.co_qualname == "Vorlex.process"
    assert Vorlex.process.__code__.co_filename.endswith("reader.pyi")
    assert "questions: Optional[List[str]] = None" in pydoc.render_doc(Vorlex.process)
    assert type(Vorlex.__dict__["process"]).__name__ == "routine"
