"""Test documents made with PyMuPDF and Pillow: text pages, scanned pages, images."""

from __future__ import annotations

import io

import pymupdf
from PIL import Image, ImageDraw

LOREM = (
    "Contrato de prestacao de servicos celebrado entre as partes abaixo, com clausulas "
    "de objeto, vigencia, valor e foro, assinado pelas testemunhas. "
)


def text_page_pdf(texts: list[str]) -> bytes:
    """One page per text, each with a real text layer."""
    doc = pymupdf.open()
    for text in texts:
        page = doc.new_page()
        page.insert_textbox(pymupdf.Rect(50, 50, 550, 800), text, fontsize=10)
    data = doc.tobytes()
    doc.close()
    return data


def scan_png(text: str = "DOCUMENTO DIGITALIZADO 12345", size=(600, 300)) -> bytes:
    """Text drawn into an image, as a scanner would deliver it."""
    img = Image.new("RGB", size, "white")
    ImageDraw.Draw(img).text((20, 20), text, fill="black")
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return buf.getvalue()


def mixed_pdf(kinds: list[str], caption: str = "") -> bytes:
    """Pages in order: "text" (a text layer), "scan" (an image and no text layer),
    "caption" (an image plus `caption` as a short text layer), "blank" (nothing)."""
    doc = pymupdf.open()
    png = scan_png()
    for kind in kinds:
        page = doc.new_page()
        if kind == "text":
            page.insert_textbox(pymupdf.Rect(50, 50, 550, 800), LOREM * 3, fontsize=10)
        elif kind in ("scan", "caption"):
            page.insert_image(pymupdf.Rect(50, 50, 550, 300), stream=png)
            if kind == "caption":
                page.insert_text((50, 400), caption, fontsize=10)
    data = doc.tobytes()
    doc.close()
    return data


def image_file(fmt: str, frames: int = 1) -> bytes:
    buf = io.BytesIO()
    imgs = [Image.new("RGB", (120, 80), color) for color in ("white", "black", "red")[:frames]]
    for img in imgs:
        ImageDraw.Draw(img).text((5, 5), "img", fill="blue")
    if frames > 1:
        imgs[0].save(buf, format=fmt, save_all=True, append_images=imgs[1:])
    else:
        imgs[0].save(buf, format=fmt)
    return buf.getvalue()


def scanned(pdf: bytes, dpi: int = 150) -> bytes:
    """The PDF as a scanner gives it back: each page rendered at `dpi`, saved as a grey
    JPEG image on a page of its own size, no text layer."""
    import pymupdf

    original = pymupdf.open(stream=pdf, filetype="pdf")
    scan = pymupdf.open()
    for number in range(original.page_count):
        page = original.load_page(number)
        image = page.get_pixmap(dpi=dpi, colorspace=pymupdf.csGRAY).tobytes("jpeg", jpg_quality=80)
        out = scan.new_page(width=page.rect.width, height=page.rect.height)
        out.insert_image(out.rect, stream=image)
    data = scan.tobytes()
    scan.close()
    original.close()
    return data
