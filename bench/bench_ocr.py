"""Benchmarks of the OCR module against their baselines, in one process.

    render_page             render_page_as_image on an A4 page (text and a photo) at
                            150 dpi vs the bare PyMuPDF render of the same page
    process_pdf_smart       process_pdf_smart on a 200-page text PDF (no OCR needed) vs a
                            bare PyMuPDF loop building the same Document objects
    load_pdf_with_ocr_text  load_pdf_with_ocr on the same PDF (every page above the
                            threshold, so no rendering) vs a bare loop building its documents
    vision_request_2mb      perform_vision_fallback building the data-URL request for a 2 MB
                            image vs the same request built with base64 in Python

Ratios are Vorlex time / baseline time (lower is better).
"""

from __future__ import annotations

import base64
import io
import os
import pathlib
import random
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import WORDS, bare_documents, paired, print_ratios, text_pdf


def photo(width=800, height=600) -> bytes:
    from PIL import Image

    rnd = random.Random(3)
    img = Image.new("RGB", (width, height))
    img.putdata([(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(width * height)])
    buf = io.BytesIO()
    img.save(buf, "JPEG", quality=85)
    return buf.getvalue()


# -- render_page_as_image ---------------------------------------------------------------


def bench_render():
    import pymupdf

    import vorlex.ocr as ocr

    doc = pymupdf.open()
    page = doc.new_page(width=595, height=842)
    page.insert_textbox(pymupdf.Rect(40, 40, 560, 400), " ".join(WORDS * 30), fontsize=9)
    page.insert_image(pymupdf.Rect(60, 420, 540, 800), stream=photo())
    zoom = 150 / 72

    def bare():
        return doc.load_page(0).get_pixmap(matrix=pymupdf.Matrix(zoom, zoom)).tobytes("png")

    assert ocr.render_page_as_image(doc, 0) == bare()
    v, b = paired(lambda: ocr.render_page_as_image(doc, 0), bare, 15)
    return "render_page_a4_150dpi", v, b, v / b, "<= 1.05"


# -- process_pdf_smart / load_pdf_with_ocr on a text PDF ---------------------------------


def bench_smart():
    import vorlex.ocr as ocr

    data = text_pdf(200)
    ours = ocr.process_pdf_smart(data)
    assert [(d.text, d.metadata) for d in ours] == [(d.text, d.metadata) for d in bare_documents(data)]
    v, b = paired(lambda: ocr.process_pdf_smart(data), lambda: bare_documents(data), 7)
    return "process_pdf_smart_200_pages", v, b, v / b, "<= 1.2"


def bench_ocr_loader_text():
    import pymupdf
    from llama_index.core.schema import Document

    import vorlex.ocr as ocr

    data = text_pdf(200)

    def bare():
        doc = pymupdf.open(stream=data, filetype="pdf")
        out = [
            Document(text=page.get_text().strip(), metadata={"page": i + 1, "source": "text"})
            for i, page in enumerate(doc)
        ]
        doc.close()
        return out

    ours = ocr.load_pdf_with_ocr(data, use_azure=False)
    assert [(d.text, d.metadata) for d in ours] == [(d.text, d.metadata) for d in bare()]
    v, b = paired(lambda: ocr.load_pdf_with_ocr(data, use_azure=False), bare, 7)
    return "load_pdf_with_ocr_200_text_pages", v, b, v / b, "<= 1.2"


# -- the vision request --------------------------------------------------------------------


def bench_vision_request():
    import vorlex.config
    import vorlex.ocr as ocr

    image = os.urandom(2 * 1024 * 1024)
    prompt = vorlex.config.VISION_FALLBACK_PROMPT
    answer = type("R", (), {"choices": [type("C", (), {"message": type("M", (), {"content": "x"})})]})

    def caller(messages, _):
        return answer

    def python_request():
        url = "data:image/png;base64," + base64.b64encode(image).decode("utf-8")
        messages = [
            {"role": "system", "content": prompt},
            {
                "role": "user",
                "content": [
                    {"type": "image_url", "image_url": {"url": url}},
                    {"type": "text", "text": "Extraia todo o texto visível nesta página do documento."},
                ],
            },
        ]
        text = caller(messages, None).choices[0].message.content
        return text.strip() if text and text.strip() else None

    assert ocr.perform_vision_fallback(image, caller) == python_request()
    v, b = paired(lambda: ocr.perform_vision_fallback(image, caller), python_request, 15)
    return "vision_request_2mb", v, b, v / b, "<= 1.1"


def bench_tesseract():
    """Pages per second of the local engine on a 20-page scan: one worker process
    against one per core (the ratio is the speed-up; >= 1.6 on two cores)."""
    import shutil

    import vorlex.ocr as ocr
    from components.docgen import scanned

    if shutil.which("tesseract") is None:
        print("  (tesseract not installed: the local OCR engine is not measured)")
        return None
    scan = scanned(text_pdf(20), dpi=150)
    rates = {}
    for label, workers in (("one", 1), ("all", None)):
        ocr.TESSERACT_WORKERS = workers
        t0 = time.perf_counter()
        pages = ocr.load_pdf_with_ocr(scan, ocr_engine="tesseract")
        elapsed = time.perf_counter() - t0
        assert len(pages) == 20 and all(p.metadata.get("ocr_engine") == "tesseract" for p in pages)
        rates[label] = 20 / elapsed
    ocr.TESSERACT_WORKERS = None
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(
        f"  tesseract, 20-page scan: {rates['one']:.2f} pages/s on one worker, "
        f"{rates['all']:.2f} pages/s on {cores} cores"
    )
    print(f"tesseract_20p_speedup: {rates['all'] / rates['one']:.2f}")
    return rates


def main():
    print_ratios((bench_render, bench_smart, bench_ocr_loader_text, bench_vision_request))
    bench_tesseract()


if __name__ == "__main__":
    main()
