"""Fuzz target: the record constructors of vorlex.models (QuestionConfig, PageRange,
Question, Classification, Result, ProcessingMetrics, DocumentMetadata,
ProcessingResult) with fuzzed field values, and their native methods:
PageRange.get_page_indices against a plain Python rendering of the page arithmetic,
and Question.cache_fingerprint (a SHA-256 hex digest, stable for equal settings and
different for different prompts)."""

import re

import atheris
from pydantic import BaseModel

from _common import DOCUMENTED, PIECES, Hostile, check, main, odd_value, text, tolerated
from vorlex.models import (
    Classification,
    DocumentMetadata,
    PageRange,
    ProcessingMetrics,
    ProcessingResult,
    Question,
    QuestionConfig,
    Result,
)

HEX64 = re.compile(r"[0-9a-f]{64}")


class Answer(BaseModel):
    valor: str
    pagina: int = 0


class NoSchema(BaseModel):
    x: int = 0

    @classmethod
    def model_json_schema(cls, *args, **kwargs):
        raise Hostile("model_json_schema")


def ref_indices(start, end, from_position, total):
    if total <= 0:
        return [], False
    last = min(end, total)
    fits = end <= total
    if start > last:
        return [], False
    if from_position == "start":
        return [p - 1 for p in range(start, last + 1)], fits
    return [total - k for k in range(last, start - 1, -1)], fits


def integer(fdp):
    k = fdp.ConsumeIntInRange(0, 9)
    if k <= 4:
        return fdp.ConsumeIntInRange(-3, 40)
    if k == 5:
        return fdp.PickValueInList(
            [2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64, 10**30, -(2**63), -(2**63) - 1]
        )
    if k == 6:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 16))
    if k == 7:
        return fdp.PickValueInList([True, 2.0, 2.5, "3", " 4 ", "x", None, float("inf")])
    return fdp.ConsumeIntInRange(1, 10**4)


def string(fdp):
    return text(fdp, PIECES, max_parts=6) if fdp.ConsumeIntInRange(0, 4) else odd_value(fdp)


def build(fdp, cls, fields):
    """cls(**fields) or None when the record refuses them (as documented)."""
    try:
        return cls(**fields)
    except DOCUMENTED:
        return None


def check_page_range(fdp):
    fields = {"start": integer(fdp), "end": integer(fdp)}
    if fdp.ConsumeBool():
        fields["from_position"] = fdp.PickValueInList(["start", "end", "END", "", None, 1])
    pr = build(fdp, PageRange, fields)
    if pr is None:
        return None
    check(
        pr.start >= 1 and pr.end >= 1 and pr.from_position in ("start", "end"),
        "PageRange accepted values outside its fields",
        fields,
        pr,
    )
    total = integer(fdp) if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeIntInRange(-2, 300)
    span = abs(min(pr.end, total if isinstance(total, int) else 0) - pr.start)
    if isinstance(total, int) and span > 10**5:
        return pr  # a list of that many indices is no test of the arithmetic
    values = [pr.start, pr.end, total]
    if tolerated("page-range-int64") and any(type(v) is int and not -(2**63) <= v < 2**63 for v in values):
        return pr
    if (
        tolerated("page-range-llong-max")
        and type(total) is int
        and min(max(pr.start, pr.end), total) == 2**63 - 1
    ):
        return pr
    try:
        got = pr.get_page_indices(total)
    except DOCUMENTED:
        check(type(total) is not int, "get_page_indices refused an int total", pr, total)
        return pr
    check(
        type(got) is tuple and len(got) == 2 and type(got[0]) is list and type(got[1]) is bool,
        "get_page_indices returns (list, bool)",
        got,
    )
    lo, hi = sorted((pr.start, pr.end))
    if type(total) is int and pr.start <= pr.end:
        esperado = ref_indices(lo, hi, pr.from_position, total)
        check(got == esperado, "get_page_indices differs from the page arithmetic", pr, total, got, esperado)
    elif type(total) is int:
        check(
            all(0 <= i < total for i in got[0]) and len(set(got[0])) == len(got[0]),
            "indices outside the document or repeated",
            pr,
            total,
            got,
        )
    return pr


def response_model(fdp):
    return fdp.PickValueInList([None, Answer, NoSchema, dict, int, "Answer", 3])


def check_question(fdp, page_range):
    cfg = build(
        fdp,
        QuestionConfig,
        {"id": string(fdp), "name": string(fdp), **({"tag": string(fdp)} if fdp.ConsumeBool() else {})},
    )
    config = cfg if cfg is not None or fdp.ConsumeBool() else {"id": "a", "name": "b"}
    fields = {"config": config, "system_prompt": string(fdp), "user_prompt": string(fdp)}
    if fdp.ConsumeBool():
        fields["keywords"] = (
            [text(fdp, PIECES, max_parts=3) for _ in range(fdp.ConsumeIntInRange(0, 4))]
            if fdp.ConsumeIntInRange(0, 3)
            else odd_value(fdp)
        )
    if fdp.ConsumeBool():
        fields["page_range"] = page_range
    if fdp.ConsumeBool():
        fields["response_model"] = response_model(fdp)
    q = build(fdp, Question, fields)
    if q is None:
        return
    try:
        fp = q.cache_fingerprint()
    except DOCUMENTED:
        return
    check(type(fp) is str and HEX64.fullmatch(fp), "cache_fingerprint is 64 hex digits", fp)
    check(q.cache_fingerprint() == fp, "cache_fingerprint changes between calls", q)
    check(q.model_copy(deep=False).cache_fingerprint() == fp, "a copy has another fingerprint", q)
    other = q.model_copy(update={"user_prompt": q.user_prompt + "\x00"})
    check(other.cache_fingerprint() != fp, "another prompt gives the same fingerprint", q)


def check_results(fdp):
    metrics = build(
        fdp,
        ProcessingMetrics,
        {
            k: (fdp.ConsumeFloat() if fdp.ConsumeBool() else integer(fdp))
            for k in ("time_seconds", "tokens", "prompt_tokens", "completion_tokens", "cost_usd")
            if fdp.ConsumeBool()
        },
    )
    results = []
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        fields = {"question_id": string(fdp)}
        for k in ("question_name", "status"):
            if fdp.ConsumeBool():
                fields[k] = string(fdp)
        for k in ("pages_used", "pages_total"):
            if fdp.ConsumeBool():
                fields[k] = integer(fdp)
        if fdp.ConsumeBool():
            fields["answer"] = odd_value(fdp)
        if fdp.ConsumeBool():
            fields["raw_result"] = odd_value(fdp)
        if metrics is not None and fdp.ConsumeBool():
            fields["metrics"] = metrics
        r = build(fdp, Result, fields)
        if r is not None:
            results.append(r)
    doc = build(
        fdp,
        DocumentMetadata,
        {
            "filename": string(fdp),
            "num_pages": integer(fdp),
            "size_kb": integer(fdp),
            "doc_type": string(fdp),
        },
    )
    if doc is None:
        return
    pr = build(fdp, ProcessingResult, {"document": doc, "results": results})
    if pr is None:
        return
    for r in results:
        found = pr.get_result(r.question_id)
        check(found is not None and found.question_id == r.question_id, "get_result", r)
    build(
        fdp,
        Classification,
        {"system_prompt": string(fdp), "user_prompt": string(fdp), "response_model": response_model(fdp)},
    )


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    what = fdp.ConsumeIntInRange(0, 2)
    if what == 0:
        check_page_range(fdp)
    elif what == 1:
        check_question(fdp, check_page_range(fdp))
    else:
        check_results(fdp)


def seeds():
    return [bytes([i, 3, 1, 2, 1, 7, 0, 1, 1, 1, 1, 1, 1]) for i in range(3)]


if __name__ == "__main__":
    main(test_one_input, "records", seeds)
