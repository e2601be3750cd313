"""render_page_as_image: the page at the requested resolution, as PNG."""

import io

import pymupdf
import pytest
from PIL import Image

import vorlex.ocr as ocr


def one_page(width=300, height=400, text="Pagina de teste"):
    doc = pymupdf.open()
    page = doc.new_page(width=width, height=height)
    page.insert_text((20, 40), text)
    return doc


def size_of(png):
    with Image.open(io.BytesIO(png)) as img:
        assert img.format == "PNG"
        return img.size, img.mode


def test_default_150_dpi_scales_points_by_150_over_72():
    (w, h), mode = size_of(ocr.render_page_as_image(one_page(300, 400), 0))
    assert abs(w - 300 * 150 / 72) <= 1 and abs(h - 400 * 150 / 72) <= 1
    assert mode == "RGB"  # no alpha channel requested


def test_72_dpi_keeps_the_size_in_points_and_a4_at_150_is_1240_by_1754():
    assert size_of(ocr.render_page_as_image(one_page(300, 400), 0, dpi=72))[0] == (300, 400)
    a4 = one_page(595, 842)
    (w, h), _ = size_of(ocr.render_page_as_image(a4, 0))
    assert abs(w - 1240) <= 1 and abs(h - 1754) <= 1


def test_same_pixels_as_a_bare_pymupdf_render():
    doc = one_page()
    doc.new_page().insert_text((50, 50), "segunda pagina")
    zoom = 150 / 72
    bare = doc.load_page(1).get_pixmap(matrix=pymupdf.Matrix(zoom, zoom)).tobytes("png")
    assert ocr.render_page_as_image(doc, 1) == bare
    assert ocr.render_page_as_image(doc, 0) != bare


def test_pages_outside_the_document_and_library_errors():
    doc = one_page()
    for n in (3, 1, -1, -2):
        with pytest.raises(ValueError, match=f"page_num {n} is out of range: the document has 1 pages"):
            ocr.render_page_as_image(doc, n)
    import pymupdf

    empty = pymupdf.open()  # load_page(-1) of an empty document never returns
    with pytest.raises(ValueError, match="page_num -1"):
        ocr.render_page_as_image(empty, -1)
    doc.close()
    with pytest.raises(ValueError, match="closed"):
        ocr.render_page_as_image(doc, 0)


def test_wrong_argument_types_name_the_argument():
    doc = one_page()
    with pytest.raises(TypeError, match="page_num"):
        ocr.render_page_as_image(doc, "0")
    with pytest.raises(TypeError, match="dpi"):
        ocr.render_page_as_image(doc, 0, dpi="150")


def test_fitz_is_read_at_call_time(monkeypatch):
    seen = []

    class Matrix(pymupdf.Matrix):
        def __init__(self, a, d):
            seen.append((a, d))
            super().__init__(a, d)

    fake = type("fitz", (), {"Matrix": Matrix})
    monkeypatch.setattr(ocr, "fitz", fake)
    ocr.render_page_as_image(one_page(), 0, dpi=144)
    assert seen == [(2.0, 2.0)]
