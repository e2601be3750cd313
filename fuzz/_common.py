"""Shared pieces of the fuzz targets: the errors a call may raise, text generation,
hostile objects, the network fence and the libFuzzer entry point.

A target calls `main(test_one_input, name, seeds)`. An exception that escapes
test_one_input is a finding (atheris prints it and saves the input); the documented
errors of a call are caught inside the target, so only the others escape.
"""

import inspect
import ipaddress
import os
import pathlib
import socket
import sys

import atheris

from vorlex.exceptions import VorlexError

ROOT = pathlib.Path(__file__).resolve().parents[1]


class Hostile(Exception):
    """Raised on purpose by the hostile objects of a target: passing it on is correct."""


# What every public function may raise for bad input: TypeError, ValueError (pydantic's
# ValidationError is one) and the package's own errors.
DOCUMENTED = (TypeError, ValueError, VorlexError)


class Finding(AssertionError):
    """An answer that breaks the documented contract of a call."""


# Known faults that a run may be told to step over (VORLEX_FUZZ_TOLERATE=name,name) so
# that it explores past them; by default every one of them fails the run. The names
# and their reproducers are listed in fuzz/README.md.
TOLERATED = frozenset(filter(None, os.environ.get("VORLEX_FUZZ_TOLERATE", "").split(",")))


def tolerated(name):
    return name in TOLERATED


def check(cond, what, *context):
    if not cond:
        raise Finding(what + "".join(f"\n  {c!r}"[:2000] for c in context))


# ---------------------------------------------------------------------------------
# The network fence: the targets never talk to anything but this machine.


def _loopback(host):
    if host in ("localhost", "localhost.", b"localhost"):
        return True
    try:
        return ipaddress.ip_address(str(host).split("%")[0]).is_loopback
    except ValueError:
        return False


_real_connect = socket.socket.connect
_real_connect_ex = socket.socket.connect_ex
_real_getaddrinfo = socket.getaddrinfo


def _fenced_connect(self, address):
    if self.family in (socket.AF_INET, socket.AF_INET6) and not _loopback(address[0]):
        raise ConnectionRefusedError(f"fuzz targets connect to loopback only, not {address!r}")
    return _real_connect(self, address)


def _fenced_connect_ex(self, address):
    if self.family in (socket.AF_INET, socket.AF_INET6) and not _loopback(address[0]):
        raise ConnectionRefusedError(f"fuzz targets connect to loopback only, not {address!r}")
    return _real_connect_ex(self, address)


def _fenced_getaddrinfo(host, *args, **kwargs):
    if host is not None and not _loopback(host.decode() if isinstance(host, bytes) else host):
        raise socket.gaierror(socket.EAI_NONAME, f"fuzz targets resolve no names: {host!r}")
    return _real_getaddrinfo(host, *args, **kwargs)


socket.socket.connect = _fenced_connect
socket.socket.connect_ex = _fenced_connect_ex
socket.getaddrinfo = _fenced_getaddrinfo


# ---------------------------------------------------------------------------------
# Text

# Pieces that stress the text kernels: accents precomposed and combining, letters whose
# case mapping or decomposition changes their length, lone surrogates, NULs, white
# space beyond ASCII, digits of other scripts and the words the Brazilian rules know.
PIECES = [
    "",
    " ",
    "\t",
    "\n",
    "\r\n",
    "\x00",
    "\x0b",
    "\x85",
    "\xa0",
    "\u2028",
    "\u3000",
    "\ufeff",
    "a",
    "A",
    "Z",
    "0",
    "9",
    ".",
    "/",
    "-",
    ",",
    "º",
    "ª",
    "°",
    "nº",
    "n.º",
    "N°",
    "á",
    "Á",
    "ç",
    "Ç",
    "ã",
    "õ",
    "é",
    "ê",
    "í",
    "ó",
    "ú",
    "ü",
    "à",
    "a\u0301",
    "c\u0327",
    "\u0301",
    "\u0327",
    "\u0345",
    "\u0308\u0301",
    "\u20dd",
    "İ",
    "ı",
    "ß",
    "ẞ",
    "ﬁ",
    "ﬀ",
    "Σ",
    "ς",
    "ǅ",
    "ΐ",
    "ŉ",
    "K",
    "Å",
    "Ω",
    "가",
    "각",
    "\u1100\u1161\u11a8",
    "ﾀﾞ",
    "①",
    "²",
    "½",
    "Ⅻ",
    "٠١٢٣٤٥٦٧٨٩",
    "०१२",
    "０１２３",
    "𝟎𝟏",
    "\ud800",
    "\udfff",
    "\ud83d",
    "\U0001f600",
    "\U000e0001",
    "\uffff",
    "\U0010ffff",
    "contrato",
    "CONTRATO",
    "Cláusula",
    "CLÁUSULA",
    "vigência",
    "rescisão",
    "obrigações",
    "neste ato representada",
    "doravante denominado",
    "icp-brasil",
    "ICP-Brasil",
    "edital de licitação",
    "pregão eletrônico",
    "nota fiscal",
    "recibo",
    "boleto",
    "fatura",
    "Rua",
    "R.",
    "Av.",
    "Avenida",
    "AVENIDA",
    "Alameda",
    "Al.",
    "Travessa",
    "Tv.",
    "Praça",
    "Rodovia",
    "Estrada",
    "Largo",
    "Edifício",
    "Sala",
    "Andar",
    "Bloco",
    "Conjunto",
    "CJ",
    "s/n",
    "S/N",
    "sem número",
    "km",
    "Km 12,5",
    "CEP",
    "01310-100",
    "SP",
    "São Paulo",
    "11.222.333/0001-81",
    "11222333000181",
    "12.ABC.345/01DE-35",
    "12ABC34501DE35",
    "00.000.000/0000-00",
]


def text(fdp, pieces=PIECES, max_parts=24):
    """A str from the data: fragments of `pieces` and raw code points (surrogates
    included), sometimes repeated far enough to cross the kernels' long-text paths."""
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, max_parts)):
        kind = fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            parts.append(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 16)))
        elif kind == 1:
            parts.append(chr(fdp.ConsumeIntInRange(0, sys.maxunicode)))
        else:
            parts.append(fdp.PickValueInList(pieces))
    s = "".join(parts)
    if s and fdp.ConsumeIntInRange(0, 15) == 0:
        s = s * fdp.ConsumeIntInRange(2, max(2, 70000 // len(s)))
    return s


class StrSub(str):
    """A str subclass with its own equality, hashing and conversions."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 7

    def __str__(self):
        raise Hostile("__str__")

    def lower(self):
        raise Hostile("lower")


def odd_value(fdp):
    """Something that is not what a parameter wants, or a str in disguise."""
    k = fdp.ConsumeIntInRange(0, 13)
    if k == 0:
        return None
    if k == 1:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32))
    if k == 2:
        return fdp.ConsumeInt(9)
    if k == 3:
        return fdp.ConsumeFloat()
    if k == 4:
        return [text(fdp, max_parts=4)]
    if k == 5:
        return {text(fdp, max_parts=2): text(fdp, max_parts=2)}
    if k == 6:
        return StrSub(text(fdp, max_parts=6))
    if k == 7:
        return bytearray(fdp.ConsumeBytes(8))
    if k == 8:
        return memoryview(fdp.ConsumeBytes(8))
    if k == 9:
        return object()
    if k == 10:
        return True
    if k == 11:
        return pathlib.PurePosixPath(text(fdp, max_parts=3).replace("\x00", ""))
    if k == 12:
        return float("nan")
    return text(fdp)


# ---------------------------------------------------------------------------------
# Entry point


def main(test_one_input, name, seeds=()):
    """Runs libFuzzer on test_one_input with the command line's libFuzzer flags. Without
    a corpus folder on the command line, fuzz/corpus/<name> is used; the seeds are
    written into the first corpus folder."""
    argv = list(sys.argv)
    positional = [a for a in argv[1:] if not a.startswith("-")]
    if not positional:
        corpus = ROOT / "fuzz" / "corpus" / name
        corpus.mkdir(parents=True, exist_ok=True)
        argv.append(str(corpus))
        positional = [str(corpus)]
    first = pathlib.Path(positional[0])
    if not first.exists() and not first.suffix:
        first.mkdir(parents=True)
    if first.is_dir():
        for i, seed in enumerate(seeds() if callable(seeds) else seeds):
            (first / f"seed-{i:03d}").write_bytes(seed)
    # Coverage feedback from the harness and its oracles (the native code is not
    # instrumented; a target imports the Python libraries it wants measured inside
    # atheris.instrument_imports).
    for module in (sys.modules["__main__"], sys.modules[__name__]):
        for value in list(vars(module).values()):
            if inspect.isfunction(value) and value.__module__ == module.__name__:
                atheris.instrument_func(value)
            elif inspect.isclass(value) and value.__module__ == module.__name__:
                for attr in vars(value).values():
                    if inspect.isfunction(attr):
                        atheris.instrument_func(attr)
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


def document_seeds():
    """Small documents of every kind the reader takes: PDFs (one and two pages, with
    text, a hand-written one with an xref table) and tiny images."""
    import io

    import pymupdf
    from PIL import Image

    out = []
    doc = pymupdf.open()
    for i in range(2):
        page = doc.new_page(width=200, height=200)
        page.insert_text((20, 40), f"Contrato de prestação {i} CNPJ 11.222.333/0001-81")
    out.append(doc.tobytes())
    doc.close()
    doc = pymupdf.open()
    doc.new_page(width=50, height=50)
    out.append(doc.tobytes(garbage=4, deflate=True))
    doc.close()
    out.append(
        b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
        b"2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
        b"3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 9 9]>>endobj\n"
        b"trailer<</Root 1 0 R>>\n%%EOF\n"
    )
    for fmt in ("PNG", "JPEG", "GIF", "BMP", "TIFF"):
        buf = io.BytesIO()
        Image.new("RGB", (3, 2), (200, 10, 10)).save(buf, format=fmt)
        out.append(buf.getvalue())
    return out
