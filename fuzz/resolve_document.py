"""Fuzz target: Vorlex._resolve_document on documents given as bytes, bytearray,
memoryview or a readable stream: PDFs and images mutated from small seeds, and
random bytes. An unreadable document is a DocumentError; whatever else comes back
must be (PDF bytes, metadata mapping, DocumentMetadata, name)."""

import io

import pymupdf

from _common import DOCUMENTED, check, document_seeds, main
from vorlex.models import DocumentMetadata
from vorlex.reader import Vorlex

pymupdf.TOOLS.mupdf_display_errors(False)
pymupdf.TOOLS.mupdf_display_warnings(False)
READER = Vorlex(openai_api_key="x")
NAMES = [None, "", "doc.pdf", "x.png", "ação.PDF", "a/b\\c", "\x00", "\ud800.pdf", "." * 300]


class Stream(io.BytesIO):
    """A stream whose read() may hand back something that is not bytes."""

    def __init__(self, data, mode):
        super().__init__(data)
        self.mode_ = mode

    def read(self, *args):
        data = super().read(*args)
        if self.mode_ == 1:
            return bytearray(data)
        if self.mode_ == 2:
            return data.decode("latin-1")
        if self.mode_ == 3:
            raise OSError("read failed")
        return data


def test_one_input(data):
    if not data:
        return
    option, body = data[0], data[1:]
    kind = option & 7
    if kind == 0 or kind > 4:
        document = body
    elif kind == 1:
        document = bytearray(body)
    elif kind == 2:
        document = memoryview(body)
    else:
        document = Stream(body, (option >> 3) & 3)
    name = NAMES[(option >> 5) % len(NAMES)]
    try:
        got = READER._resolve_document(document, name)
    except DOCUMENTED:
        return
    check(type(got) is tuple and len(got) == 4, "_resolve_document must return a 4-tuple", got)
    content, metadata, meta, display = got
    check(type(content) is bytes and len(content) > 0, "content must be non-empty bytes", type(content))
    check(isinstance(metadata, dict), "metadata must be a dict", metadata)
    check(isinstance(meta, DocumentMetadata), "a DocumentMetadata", meta)
    check(type(display) is str, "the display name is a str", display)
    check(meta.num_pages >= 0 and meta.size_kb >= 0, "counts are not negative", meta)


def seeds():
    return [bytes([i * 8 + (i % 3)]) + d for i, d in enumerate(document_seeds())]


if __name__ == "__main__":
    main(test_one_input, "resolve_document", seeds)
