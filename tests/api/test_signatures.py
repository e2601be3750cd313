"""Every C++ function and method of the package as Python shows it: the stub's
signature (checked against the parameters the function really takes: names, kinds and
defaults), a docstring, and Python's wording when a call does not fit.

inspect.signature of a routine is read from its stub, so stubtest (test_stubs.py) sees
the stub compared with itself there; the comparison with pybind11's own account of the
C++ function below is what finds a stub that drifted from the code."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import pickle
import pydoc
import re

import pytest

MODULES = [
    "vorlex.reader",
    "vorlex.resilience",
    "vorlex.ocr",
    "vorlex.utils",
    "vorlex.cache",
    "vorlex.config",
    "vorlex.exceptions",
    "vorlex._records",
    "vorlex.providers.google",
    "vorlex.contract.checker",
    "vorlex.contract.auth",
    "vorlex.contract.base",
    "vorlex.contract.registry",
    "vorlex.contract.countries.br.cnpj",
    "vorlex.contract.countries.br.keywords",
    "vorlex.contract.countries.br.ie",
    "vorlex.contract.countries.br.ai_search",
]


def routines():
    seen = {}
    for name in MODULES:
        mod = importlib.import_module(name)
        for value in vars(mod).values():
            if type(value).__name__ == "routine" and value.__module__ == name:
                seen.setdefault(id(value), (f"{name}.{value.__qualname__}", value))
            elif isinstance(value, type) and value.__module__ == name:
                for member in vars(value).values():
                    inner = getattr(member, "__func__", member)
                    if type(inner).__name__ == "routine":
                        seen.setdefault(id(inner), (f"{name}.{inner.__qualname__}", inner))
    return sorted(seen.values(), key=lambda item: item[0])


ROUTINES = routines()


NO_DEFAULT = "(none)"


def native_parameters(routine):
    """(name, kind, default) of each parameter as pybind11 itself records them: the
    first line of its docstring, `name(a: object, b: object = 'x', *, c: object = None)
    -> object`, read as the Python definition it is written as."""
    first = (routine.__wrapped__.__doc__ or "").split("\n", 1)[0]
    tree = ast.parse(f"def f{first[first.index('(') :]}: ...").body[0].args
    out = []
    positional = tree.posonlyargs + tree.args
    defaults = [NO_DEFAULT] * (len(positional) - len(tree.defaults)) + [
        ast.literal_eval(d) for d in tree.defaults
    ]
    for i, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
        kind = "POSITIONAL_ONLY" if i < len(tree.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg, kind, default))
    if tree.vararg:
        out.append((tree.vararg.arg, "VAR_POSITIONAL", NO_DEFAULT))
    for arg, default in zip(tree.kwonlyargs, tree.kw_defaults, strict=True):
        out.append((arg.arg, "KEYWORD_ONLY", NO_DEFAULT if default is None else ast.literal_eval(default)))
    if tree.kwarg:
        out.append((tree.kwarg.arg, "VAR_KEYWORD", NO_DEFAULT))
    return out


def stub_parameters(routine):
    """The same triples from the signature the routine shows (its stub's)."""
    return [
        (p.name, p.kind.name, NO_DEFAULT if p.default is p.empty else p.default)
        for p in inspect.signature(routine).parameters.values()
    ]


def typed(params):
    # 1 == True == 1.0 in Python; a default of another type is another default.
    return [(name, kind, type(default).__name__, default) for name, kind, default in params]


def test_the_package_has_its_routines():
    names = {name for name, _ in ROUTINES}
    assert len(ROUTINES) > 120
    assert {
        "vorlex.reader.Vorlex.process",
        "vorlex.reader.Vorlex.__init__",
        "vorlex.contract.countries.br.cnpj.validar_cnpj",
        "vorlex.reader.Vorlex.process_batch_async",
    } <= names


@pytest.mark.parametrize("routine", [r for _, r in ROUTINES], ids=[n for n, _ in ROUTINES])
def test_signature_is_the_stubs_and_matches_the_function(routine):
    assert typed(stub_parameters(routine)) == typed(native_parameters(routine))


def test_every_extension_module_is_compared():
    """A new extension module joins MODULES, or its stub goes unchecked above."""
    import pkgutil

    import vorlex

    extensions = {
        m.name
        for m in pkgutil.walk_packages(vorlex.__path__, "vorlex.")
        if importlib.util.find_spec(m.name).origin.endswith((".so", ".pyd"))
    }
    assert extensions == set(MODULES)


def test_the_comparison_sees_a_drifted_stub():
    """The check above on a routine whose stub says otherwise: another default, another
    kind, another name each differ from pybind11's account."""
    from vorlex.reader import Vorlex

    native = typed(native_parameters(Vorlex.process_batch))
    assert ("show_progress", "KEYWORD_ONLY", "bool", False) in native
    for drifted in (
        ("show_progress", "KEYWORD_ONLY", "bool", True),
        ("show_progress", "POSITIONAL_OR_KEYWORD", "bool", False),
        ("progress", "KEYWORD_ONLY", "bool", False),
    ):
        stub = [drifted if p[0] == "show_progress" else p for p in native]
        assert stub != native
    assert typed([("a", "POSITIONAL_OR_KEYWORD", 1)]) != typed([("a", "POSITIONAL_OR_KEYWORD", True)])


@pytest.mark.parametrize("routine", [r for _, r in ROUTINES], ids=[n for n, _ in ROUTINES])
def test_a_call_that_does_not_fit_is_refused_in_pythons_words(routine):
    sig = inspect.signature(routine)
    if any(p.kind is p.VAR_KEYWORD for p in sig.parameters.values()):
        pytest.skip("takes any keyword")
    params = [p for p in sig.parameters.values() if p.default is p.empty]
    positional = [None for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    keywords = {p.name: None for p in params if p.kind is p.KEYWORD_ONLY}
    with pytest.raises(TypeError) as info:
        routine(*positional, **keywords, parametro_inexistente=1)
    assert str(info.value) == (
        f"{routine.__qualname__}() got an unexpected keyword argument 'parametro_inexistente'"
    )


def test_missing_and_surplus_arguments():
    from vorlex.contract.countries.br.cnpj import formatar_cnpj
    from vorlex.reader import Vorlex

    with pytest.raises(
        TypeError,
        match=r"^Vorlex\.__init__\(\) got an unexpected keyword "
        r"argument 'api_key'$",
    ):
        Vorlex(api_key="sk")
    reader = Vorlex(openai_api_key="sk")
    with pytest.raises(
        TypeError,
        match=r"^Vorlex\.process\(\) missing a required argument: "
        r"'document'$",
    ):
        reader.process()
    with pytest.raises(TypeError, match=r"^formatar_cnpj\(\) too many positional arguments$"):
        formatar_cnpj("1", "2")
    # A wrong value still gets the function's own TypeError, naming the argument.
    with pytest.raises(TypeError, match="documents"):
        reader.process_batch("a.pdf")


def test_help_shows_types_and_the_docstring():
    from vorlex.reader import Vorlex

    text = pydoc.render_doc(Vorlex.process, renderer=pydoc.plaintext)
    # Python 3.13's pydoc lays a long signature out one parameter a line.
    flat = re.sub(r",\s+", ", ", re.sub(r"\(\s+", "(", text))
    assert "process(self, document: DocumentSource, questions: Optional[List[str]] = None" in flat
    assert "-> ProcessingResult" in text
    assert "Answers the selected questions about one document" in text
    assert "object" not in text.split("\n")[2]
    sig = inspect.signature(Vorlex.process_batch)
    assert str(sig.parameters["show_progress"]) == "show_progress: bool = False"
    assert sig.parameters["show_progress"].kind is inspect.Parameter.KEYWORD_ONLY
    assert str(inspect.signature(Vorlex.__init__).parameters["model"]) == "model: Optional[str] = None"


def test_routines_behave_like_functions():
    import vorlex.contract.countries.br.cnpj as cnpj
    from vorlex.reader import Vorlex

    # One object under an alias, pickled by reference, bound to instances as methods.
    assert cnpj.consultar_cnpj_online is cnpj.consultar_cnpj
    assert pickle.loads(pickle.dumps(cnpj.validar_cnpj)) is cnpj.validar_cnpj
    reader = Vorlex(openai_api_key="sk")
    bound = reader.add_question
    assert bound.__self__ is reader and bound.__func__ is Vorlex.add_question
    assert inspect.isroutine(Vorlex.process) and Vorlex.process.__name__ == "process"
    assert repr(cnpj.validar_cnpj) == "<function vorlex.contract.countries.br.cnpj.validar_cnpj>"


def test_routines_can_be_weakly_referenced_as_functions_can():
    import weakref

    import vorlex.contract.countries.br.cnpj as cnpj
    from vorlex.reader import Vorlex

    assert weakref.ref(cnpj.validar_cnpj)() is cnpj.validar_cnpj
    methods = weakref.WeakSet([Vorlex.process, Vorlex.add_question])
    assert set(methods) == {Vorlex.process, Vorlex.add_question}
    cache = weakref.WeakKeyDictionary({Vorlex.process: "lido"})
    assert cache[Vorlex.process] == "lido"


def test_many_unknown_keywords_are_refused_in_linear_time():
    """The rewording of a refused call binds the arguments once: 40,000 unknown keywords
    cost about what 10,000 do, far from the seconds a quadratic pass took."""
    import time

    from vorlex.reader import Vorlex

    spent = {}
    for n in (10_000, 40_000):
        keywords = {f"k{i}": i for i in range(n)}
        start = time.perf_counter()
        with pytest.raises(
            TypeError,
            match=r"^Vorlex\.create_question\(\) got an unexpected "
            r"keyword argument 'k0'$",
        ):
            Vorlex.create_question("a", "b", "c", **keywords)
        spent[n] = time.perf_counter() - start
    assert spent[40_000] < 1.0, spent


def test_a_keyword_name_utf8_cannot_hold_is_refused_not_a_crash():
    """A lone surrogate as a keyword's name: pybind11 fails on it while writing its own
    message, where no error can be reported (the interpreter aborted). In its own
    interpreter, for a function, a method and a native type's method."""
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import vorlex.providers.google as google
        from vorlex.contract.countries.br.cnpj import formatar_cnpj
        from vorlex.reader import Vorlex

        odd = {"\\udc80": 1}
        for call in (lambda: Vorlex.create_question("a", "b", "c", **odd),
                     lambda: Vorlex(openai_api_key="sk").process(b"%PDF", **odd),
                     lambda: google.GoogleCall.close(None, **odd),
                     lambda: formatar_cnpj("11222333000181", **odd)):
            try:
                call()
            except TypeError as exc:
                print(ascii(str(exc)))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.splitlines() == [
        "\"Vorlex.create_question() got an unexpected keyword argument '\\\\udc80'\"",
        "\"Vorlex.process() got an unexpected keyword argument '\\\\udc80'\"",
        "\"GoogleCall.close() got an unexpected keyword argument '\\\\udc80'\"",
        "\"formatar_cnpj() got an unexpected keyword argument '\\\\udc80'\"",
    ]
