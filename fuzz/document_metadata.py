"""Fuzz target: vorlex.utils.get_document_metadata (and is_image_bytes /
ensure_pdf_bytes, which it builds on) on PDFs and images mutated from small seeds and
on random bytes. Unreadable bytes raise the PDF library's error, which is documented;
anything else escaping, or an answer of the wrong shape, is a finding."""

import pymupdf

from _common import DOCUMENTED, check, document_seeds, main, tolerated
from vorlex.utils import ensure_pdf_bytes, get_document_metadata, is_image_bytes, needs_ocr

pymupdf.TOOLS.mupdf_display_errors(False)
pymupdf.TOOLS.mupdf_display_warnings(False)

# The PDF library's errors: pymupdf's own and its MuPDF layer's (FzErrorBase).
PDF_ERRORS = (pymupdf.FileDataError, pymupdf.mupdf.FzErrorBase, RuntimeError)
NAMES = [None, "document.pdf", "", "scan.png", "\ud800", "x" * 500]


def test_one_input(data):
    if not data:
        return
    option, body = data[0], data[1:]
    container = [bytes, bytearray, memoryview][option % 3]
    name = NAMES[(option // 3) % len(NAMES)]
    image = is_image_bytes(container(body))
    check(type(image) is bool, "is_image_bytes must return bool", image)
    if option & 0x80:
        try:
            pdf = ensure_pdf_bytes(container(body))
        except DOCUMENTED + PDF_ERRORS:
            return
        if not image:
            check(bytes(pdf) == body, "ensure_pdf_bytes changed a non-image", len(body))
        return
    try:
        meta = get_document_metadata(container(body), name)
    except DOCUMENTED + PDF_ERRORS:
        return
    check(isinstance(meta, dict), "a dict", meta)
    check({"filename", "num_pages", "doc_type", "size_kb"} <= set(meta), "keys", meta)
    # "image" is the document that needs OCR.
    check(
        meta["doc_type"] == ("image" if needs_ocr(body, 100) else "pdf"), "doc_type follows needs_ocr", meta
    )
    with pymupdf.open(stream=body, filetype="pdf") as doc:
        pages = doc.page_count
    check(meta["num_pages"] == pages and type(meta["num_pages"]) is int, "num_pages", meta, pages)
    if not tolerated("size-kb-rounding"):
        check(
            meta["size_kb"] == round(len(body) / 1024, 2),
            "size_kb is round(bytes / 1024, 2)",
            meta,
            len(body),
        )
    check(meta["filename"] == (name or "document.pdf"), "filename", meta, name)


def seeds():
    return [bytes([i % 3]) + d for i, d in enumerate(document_seeds())]


if __name__ == "__main__":
    main(test_one_input, "document_metadata", seeds)
