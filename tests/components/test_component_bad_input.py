"""Every public function of the components, given None, an int, bytes, a list or an
arbitrary object where another type belongs, raises a Python error naming the argument
(and never crashes the interpreter)."""

from __future__ import annotations

import pytest
from google import genai

import vorlex.providers.google as google
import vorlex.utils as utils
from components.docgen import text_page_pdf
from vorlex.cache import DocumentCache

PDF = text_page_pdf(["Pagina unica com texto suficiente."])
MSGS = [{"role": "user", "content": "oi"}]
CLIENT = genai.Client(api_key="unused")  # never reaches the network: the checks come first


class Thing:
    pass


NONE, INT, BYTES, LIST, OBJ, STR = None, 7, b"\x00bytes", [1, "a"], Thing(), "texto"

# (call, argument name, the bad values to try); the argument under test is `x`.
CASES = [
    (lambda x: utils.load_pdf(x), "source", [NONE, INT, LIST, OBJ]),
    (lambda x: utils.load_pdf(PDF, filename=x), "filename", [INT, BYTES, LIST, OBJ]),
    (lambda x: next(utils.load_pdf_lazy(x)), "source", [NONE, INT, LIST, OBJ]),
    (lambda x: utils.load_pdf_lazy(PDF, filename=x), "filename", [INT, BYTES, LIST, OBJ]),
    (lambda x: utils.needs_ocr(x), "source", [NONE, INT, LIST, OBJ]),
    (lambda x: utils.needs_ocr(PDF, x), "min_chars", [NONE, BYTES, LIST, OBJ, STR, 1.5, True]),
    (lambda x: utils.get_document_metadata(x), "data", [NONE, INT, LIST, OBJ, STR]),
    (lambda x: utils.get_document_metadata(PDF, filename=x), "filename", [INT, BYTES, LIST, OBJ]),
    (lambda x: utils.ensure_pdf_bytes(x), "data", [NONE, INT, LIST, OBJ, STR]),
    (lambda x: utils.is_image_bytes(x), "data", [NONE, INT, LIST, OBJ, STR]),
    (lambda x: utils.filter_relevant_pages(x, ["a"]), "pages", [NONE, INT, BYTES, OBJ, STR]),
    (lambda x: utils.filter_relevant_pages([x], ["a"]), "pages", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: utils.filter_relevant_pages([], x), "keywords", [INT, BYTES, OBJ, STR]),
    (lambda x: utils.filter_relevant_pages([], [x]), "keywords", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: utils._ensure_bytes(x), "source", [NONE, INT, LIST, OBJ, STR]),
    (lambda x: DocumentCache(ttl_seconds=x), "ttl_seconds", [NONE, BYTES, LIST, OBJ, STR]),
    (lambda x: DocumentCache.hash_document(x), "data", [NONE, INT, LIST, OBJ, STR]),
    (lambda x: DocumentCache.build_key(x, [], "m", False), "document_hash", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: DocumentCache.build_key("h", x, "m", False), "fingerprints", [NONE, INT, BYTES, OBJ, [1]]),
    (lambda x: DocumentCache.build_key("h", [], x, False), "model", [INT, BYTES, LIST, OBJ]),
    (lambda x: DocumentCache().get(x), "key", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: DocumentCache().put(x, "r"), "key", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.build_client(api_key=x), "api_key", [INT, BYTES, LIST, OBJ]),
    (lambda x: google.call_chat(x, "m", MSGS), "client", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.call_chat(CLIENT, x, MSGS), "model", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.call_chat(CLIENT, "m", x), "messages", [NONE, INT, BYTES, OBJ, STR]),
    (lambda x: google.call_chat(CLIENT, "m", [x]), "messages", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.call_chat(CLIENT, "m", [{"role": "user", "content": x}]), "content", [INT, BYTES, OBJ]),
    (lambda x: google.call_structured(CLIENT, "m", MSGS, x), "response_model", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.acall_chat(x, "m", MSGS), "client", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.acall_structured(CLIENT, "m", MSGS, x), "response_model", [NONE, INT, LIST, OBJ]),
    (lambda x: google.call_vision(x, "m", image_bytes=b"i"), "client", [NONE, INT, BYTES, LIST, OBJ]),
    (lambda x: google.call_vision(CLIENT, "m", image_bytes=x), "image_bytes", [NONE, INT, LIST, OBJ, STR]),
    (
        lambda x: google.call_vision(CLIENT, "m", image_bytes=b"i", prompt=x),
        "prompt",
        [INT, BYTES, LIST, OBJ],
    ),
    (
        lambda x: google.call_vision(CLIENT, "m", image_bytes=b"i", mime=x),
        "mime",
        [NONE, INT, BYTES, LIST, OBJ],
    ),
]


@pytest.mark.parametrize(
    "call, name, value",
    [
        pytest.param(c, n, v, id=f"{i}-{n}-{type(v).__name__}")
        for i, (c, n, vs) in enumerate(CASES)
        for v in vs
    ],
)
def test_wrong_types_raise_type_error_naming_the_argument(call, name, value):
    with pytest.raises(TypeError) as info:
        call(value)
    assert name in str(info.value) or (name == "content" and "content" in str(info.value))


@pytest.mark.parametrize("value", [NONE, INT, BYTES, LIST, OBJ, STR])
def test_extract_main_response_takes_anything(value):
    assert utils.extract_main_response(value) == value


def test_bytes_that_are_no_pdf_raise_the_pdf_library_error():
    for call in (utils.load_pdf, utils.needs_ocr, utils.get_document_metadata):
        with pytest.raises(RuntimeError):
            call(BYTES)
    assert utils.ensure_pdf_bytes(BYTES) is BYTES
    assert utils.is_image_bytes(BYTES) is False
