"""Fuzz target: the methods of every class of the native modules called unbound, with
`self` that the library did not make: None, an object of another kind, an instance
made by `__new__` without `__init__` (or by a base class's `__new__` for the native
types), an instance of another class of the package; and the native types' own
instances (a coroutine, a page iterator) stepped, thrown into and closed in any order,
with arguments of every kind.

Nothing may crash. A native type's method given a `self` it did not make raises
TypeError; anything else may raise what Python code would (AttributeError for an
attribute that an instance made without `__init__` lacks, TypeError, ValueError, the
package's errors), never SystemError."""

import asyncio
import gc
import logging
import os
import tempfile
import types
import warnings

import atheris

import vorlex.cache
import vorlex.config
import vorlex.exceptions
import vorlex.ocr
import vorlex.providers.google
import vorlex.reader
import vorlex.resilience
import vorlex.utils
from _common import Hostile, StrSub, check, main, odd_value, text

# An instance filled by a fuzzed __init__ may name a cache file anywhere: the cache
# module's file system and SQLite refuse, so nothing is written (the store's failure
# is its documented warning); anything else lands in a folder of the run's own.
os.chdir(tempfile.mkdtemp(prefix="vorlex-fuzz-native-"))


class _NoFolders:
    def __getattr__(self, name):
        return getattr(os, name)

    @staticmethod
    def makedirs(*args, **kwargs):
        raise PermissionError("fuzz runs create no folders")


def _no_database(*args, **kwargs):
    raise PermissionError("fuzz runs open no database")


vorlex.cache.os = _NoFolders()
vorlex.cache.sqlite3 = types.SimpleNamespace(connect=_no_database)
warnings.simplefilter("ignore")
logging.getLogger("vorlex").setLevel(logging.CRITICAL + 1)
logging.getLogger("asyncio").setLevel(logging.CRITICAL + 1)

MODULES = [
    vorlex.reader,
    vorlex.cache,
    vorlex.config,
    vorlex.exceptions,
    vorlex.ocr,
    vorlex.providers.google,
    vorlex.resilience,
    vorlex.utils,
]
NATIVE = [vorlex.reader.Coroutine, vorlex.providers.google.GoogleCall, vorlex.utils.PageIterator]
# Methods that wait on the world rather than on their arguments: a job on standard input.
SKIP = {"_tesseract_worker"}


def classes():
    seen = []
    for module in MODULES:
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == module.__name__ and value not in seen:
                seen.append(value)
    return seen


CLASSES = classes()
METHODS = sorted(
    (
        (cls, name)
        for cls in CLASSES + NATIVE
        for name, member in vars(cls).items()
        if callable(member)
        and name not in SKIP
        and (
            not name.startswith("__")
            or name
            in (
                "__init__",
                "__next__",
                "__repr__",
                "__iter__",
                "__await__",
                "__call__",
                "__enter__",
                "__exit__",
            )
        )
    ),
    key=lambda m: (m[0].__module__, m[0].__qualname__, m[1]),
)
assert len(METHODS) > 60, len(METHODS)


def empty_instance(fdp, cls):
    """An instance that no __init__ filled, when Python allows one to be made."""
    for base in cls.__mro__[fdp.ConsumeIntInRange(0, 1) :]:
        try:
            return base.__new__(cls)
        except TypeError:
            continue
    return None


def hostile_self(fdp, cls):
    k = fdp.ConsumeIntInRange(0, 4)
    if k == 0:
        return None
    if k == 1:
        return empty_instance(fdp, cls)
    if k == 2:
        other = fdp.PickValueInList(CLASSES)
        return empty_instance(fdp, other) if other is not cls else object()
    if k == 3:
        return StrSub(text(fdp, max_parts=2))
    return odd_value(fdp)


def arguments(fdp):
    args = [odd_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        kwargs[
            fdp.PickValueInList(
                ["value", "document", "key", "questions", "text", "name", text(fdp, max_parts=1) or "x"]
            )
        ] = odd_value(fdp)
    return args, kwargs


def call_unbound(fdp):
    cls, name = fdp.PickValueInList(METHODS)
    self = hostile_self(fdp, cls)
    args, kwargs = arguments(fdp)
    method = vars(cls)[name]
    if isinstance(method, (staticmethod, classmethod)):
        return
    try:
        method(self, *args, **kwargs)
    except SystemError:
        raise
    except (Exception, Hostile) as exc:  # noqa: BLE001 - a hostile call may raise anything
        if cls in NATIVE:
            check(isinstance(exc, TypeError), f"{cls.__name__}.{name} on a foreign self", type(self), exc)
        return
    check(cls not in NATIVE, f"{cls.__name__}.{name} accepted a self it did not make", type(self))


def genuine(fdp):
    """A native instance made by the library, in the state the input chooses."""
    k = fdp.ConsumeIntInRange(0, 2)
    if k == 0:
        return READER._run_questions_async([], [])
    if k == 1:
        return READER.extract_from_text_async("", QUESTION)
    return vorlex.utils.load_pdf_lazy(PDF)


def drive(fdp):
    """A genuine instance stepped with arguments of any kind; it ends as asyncio or a for
    loop would end it, or raises what a coroutine or iterator raises."""
    obj = genuine(fdp)
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        op = fdp.PickValueInList(["send", "throw", "close", "next", "repr", "iter"])
        try:
            if op == "send" and hasattr(obj, "send"):
                obj.send(odd_value(fdp) if fdp.ConsumeBool() else None)
            elif op == "throw" and hasattr(obj, "throw"):
                obj.throw(*arguments(fdp)[0][:3] or [ValueError])
            elif op == "close":
                obj.close()
            elif op == "next":
                next(obj)
            elif op == "repr":
                check(isinstance(repr(obj), str), "repr")
            else:
                iter(obj)
        except SystemError:
            raise
        except (Exception, Hostile, GeneratorExit):  # noqa: BLE001 - whatever a coroutine or iterator raises
            pass
    try:
        obj.close()
    except SystemError:
        raise
    except Exception:  # noqa: BLE001 - closing may raise what the last step left
        pass


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if fdp.ConsumeIntInRange(0, 3):
            call_unbound(fdp)
        else:
            drive(fdp)
    if fdp.ConsumeIntInRange(0, 1023) == 1023:  # a full collection costs a tenth of a second
        gc.collect()


def _pdf():
    import pymupdf

    doc = pymupdf.open()
    doc.new_page(width=100, height=100).insert_text((10, 40), "contrato")
    return doc.tobytes()


PDF = _pdf()
READER = vorlex.reader.Vorlex(openai_api_key="sk-fuzz", max_retries=0)
QUESTION = vorlex.reader.Vorlex.create_question("q", "q", "Leia: {texto}")
asyncio.set_event_loop(asyncio.new_event_loop())


def seeds():
    return [bytes([i, j, 1, 2, 3, 4, 5, 6, 7, 8, 9]) for i in range(4) for j in range(0, 255, 37)]


if __name__ == "__main__":
    main(test_one_input, "native_calls", seeds)
