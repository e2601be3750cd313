"""Fuzz target: vorlex.utils.filter_relevant_pages with hostile pages: objects whose
`text` is a property that returns odd values, changes between reads, raises, or
changes the very lists being filtered; lists of mixed types; keywords of odd types.
The call may raise TypeError / ValueError or let the pages' own error through; it must
never crash, and what it returns must be pages it was given, counted right."""

import atheris
from llama_index.core.schema import Document

from _common import DOCUMENTED, PIECES, Hostile, StrSub, check, main, odd_value, text
from vorlex.utils import filter_relevant_pages


class Page:
    """A page whose text is a plan of answers played one read at a time."""

    def __init__(self, plan, pages, keywords):
        self.plan = plan
        self.reads = 0
        self.pages = pages
        self.keywords = keywords

    @property
    def text(self):
        step = self.plan[self.reads % len(self.plan)]
        self.reads += 1
        kind, value = step
        if kind == "value":
            return value
        if kind == "raise":
            raise Hostile("text")
        if kind == "attr":
            raise AttributeError("text")
        if kind == "clear":
            self.pages.clear()
            self.keywords.clear()
            return value
        if kind == "grow":
            self.pages.extend([self] * 64)
            self.keywords.append("a")
            return value
        if kind == "shrink":
            del self.pages[: len(self.pages) // 2]
            return value
        if kind == "delete":
            del type(self).text  # the class loses its text for every later page
        return value


class Hashless(str):
    __hash__ = None


def step(fdp):
    kind = fdp.PickValueInList(
        ["value", "value", "value", "raise", "attr", "clear", "grow", "shrink", "delete"]
    )
    v = fdp.ConsumeIntInRange(0, 5)
    if v <= 2:
        value = text(fdp, PIECES, max_parts=6)
    elif v == 3:
        value = StrSub(text(fdp, PIECES, max_parts=4))
    elif v == 4:
        value = None
    else:
        value = odd_value(fdp)
    return kind, value


def keyword(fdp):
    k = fdp.ConsumeIntInRange(0, 9)
    if k <= 6:
        return text(fdp, PIECES, max_parts=3)
    if k == 7:
        return StrSub(text(fdp, PIECES, max_parts=2))
    if k == 8:
        return Hashless(text(fdp, PIECES, max_parts=2))
    return odd_value(fdp)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    pages, keywords = [], []
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        k = fdp.ConsumeIntInRange(0, 5)
        if k <= 2:
            pages.append(Page([step(fdp) for _ in range(fdp.ConsumeIntInRange(1, 3))], pages, keywords))
        elif k == 3:
            pages.append(Document(text=text(fdp, PIECES, max_parts=6)))
        else:
            pages.append(odd_value(fdp))
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        keywords.append(keyword(fdp))
    kind = fdp.ConsumeIntInRange(0, 5)
    kw_arg = (
        keywords if kind <= 2 else None if kind == 3 else tuple(keywords) if kind == 4 else odd_value(fdp)
    )
    pages_arg = pages if fdp.ConsumeIntInRange(0, 5) else tuple(pages)
    given = list(pages)
    try:
        selected, summary = filter_relevant_pages(pages_arg, kw_arg)
    except DOCUMENTED + (Hostile, AttributeError):
        return
    finally:
        if hasattr(Page, "text") is False:
            Page.text = PAGE_TEXT
    check(type(selected) is list, "selected pages are a list", selected)
    check(all(any(s is p for p in given) for s in selected), "a selected page was not given")
    check(
        type(summary) is dict and set(summary) == {"total_pages", "relevant_pages", "keyword_hits"},
        "summary keys",
        summary,
    )
    check(
        summary["relevant_pages"] == len(selected) <= summary["total_pages"],
        "page counts",
        summary,
        len(selected),
    )
    hits = summary["keyword_hits"]
    check(all(0 <= v <= summary["total_pages"] for v in hits.values()), "hit counts", summary)


PAGE_TEXT = Page.text


def seeds():
    return [bytes([3, 0, i, 1, 2, 3, 4, 5, 6, 7, 8]) for i in range(8)]


if __name__ == "__main__":
    main(test_one_input, "filter_pages", seeds)
