"""Benchmarks of the reader's question path against the bare OpenAI client, in one process.

    extract_from_text_200       200 questions through Vorlex.extract_from_text against the
                                local chat server vs the same 200 requests made with the
                                bare openai client from Python (prompt built with
                                str.format, answer and usage read from the response)
    extract_structured_200      the same with a pydantic response model (beta parse) vs
                                the bare client's parse (structured_output "json_schema";
                                a question against the bare client is kept at <= 1.10)
    structured_json_object_200  structured_output "json_object" vs the bare client sending
                                response_format json_object with the schema (also in the
                                system message) and validating the text with the model
    structured_prompt_200       structured_output "prompt" vs the bare client with the
                                schema in the system message, validating the text
    (the last two are reported, not held to a limit)

Both sides use an openai client with max_retries=0 pointed at the same local server;
the two sides alternate request by request (and swap places in every other pair) so
that machine noise hits both alike; each request counts with its best time over the
rounds (the best whole round is printed too).
Ratios are Vorlex time / baseline time (lower is better).
"""

from __future__ import annotations

import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import openai
from pydantic import BaseModel

from _common import reader_for
from servers.chat import ChatServer

N = 200
ROUNDS = 9
TEXTS = [
    f"Contrato n. {i}: valor total de R$ {1000 + i},00, vigencia de {i % 24 + 1} meses, "
    "entre as partes qualificadas abaixo."
    for i in range(N)
]


class Valor(BaseModel):
    valor_total: str


SCHEMA_NOTE = (
    "\n\nResponda somente com um objeto JSON válido, sem texto fora dele, que siga este JSON Schema:\n"
)


def bare_one(client, question, text, calculate_cost, mode="json_schema"):
    """What a caller writes without Vorlex: fill the template, call, read answer and usage."""
    messages = [
        {"role": "system", "content": question.system_prompt},
        {"role": "user", "content": question.user_prompt.format(texto=text)},
    ]
    if question.response_model is not None and mode != "json_schema":
        schema = question.response_model.model_json_schema()
        messages[0]["content"] += SCHEMA_NOTE + json.dumps(schema, ensure_ascii=False)
        extra = (
            {"response_format": {"type": "json_object", "schema": schema}} if mode == "json_object" else {}
        )
        response = client.chat.completions.create(model="gpt-4o-mini", messages=messages, **extra)
        content = response.choices[0].message.content
        answer = question.response_model.model_validate_json(
            content[content.index("{") : content.rindex("}") + 1]
        ).model_dump()
    elif question.response_model is not None:
        response = client.chat.completions.parse(
            model="gpt-4o-mini", messages=messages, response_format=question.response_model
        )
        answer = response.choices[0].message.parsed.model_dump()
    else:
        response = client.chat.completions.create(model="gpt-4o-mini", messages=messages)
        answer = response.choices[0].message.content
    usage = response.usage
    calculate_cost("gpt-4o-mini", usage.prompt_tokens, usage.completion_tokens)
    if answer is None:
        raise RuntimeError("no answer")


def one_round(reader, client, question, mode="json_schema"):
    """The 200 questions both ways, request by request in alternation, so that the
    machine's load at any moment weighs on both sides alike. Returns the per-request
    times (vorlex, bare)."""
    from vorlex.config import calculate_cost

    clock = time.perf_counter
    v, b = [], []
    for i, text in enumerate(TEXTS):
        # whichever side goes first in a pair pays a little more (the server's thread
        # and the socket wake up); alternate the order so neither side always does
        if i % 2:
            t0 = clock()
            bare_one(client, question, text, calculate_cost, mode)
            t1 = clock()
            result = reader.extract_from_text(text, question)
            t2 = clock()
            b.append(t1 - t0)
            v.append(t2 - t1)
        else:
            t0 = clock()
            result = reader.extract_from_text(text, question)
            t1 = clock()
            bare_one(client, question, text, calculate_cost, mode)
            t2 = clock()
            v.append(t1 - t0)
            b.append(t2 - t1)
        if result.status != "OK":
            raise RuntimeError(result.answer)
    return v, b


def compare(name, reader, client, question, mode="json_schema"):
    one_round(reader, client, question, mode)  # warm up both paths (imports, connections)
    rounds = [one_round(reader, client, question, mode) for _ in range(ROUNDS)]
    # Each request's best time over the rounds, summed: a scheduling hiccup of the
    # shared machine hits one request of one round and is dropped.
    best_v = sum(min(r[0][i] for r in rounds) for i in range(N))
    best_b = sum(min(r[1][i] for r in rounds) for i in range(N))
    round_v = min(sum(r[0]) for r in rounds)
    round_b = min(sum(r[1]) for r in rounds)
    print(
        f"  {name}: vorlex {best_v * 1000:.1f} ms, bare openai {best_b * 1000:.1f} ms "
        f"({N} requests, each the best of {ROUNDS} rounds); best whole round "
        f"{round_v * 1000:.1f} vs {round_b * 1000:.1f} ms ({round_v / round_b:.3f})"
    )
    print(f"{name}: {best_v / best_b:.3f}", flush=True)


def main():
    import logging

    from vorlex.reader import Vorlex

    logging.getLogger("vorlex").setLevel(logging.ERROR)
    with ChatServer() as server:
        reader = reader_for(server.base_url, model="gpt-4o-mini", max_retries=3)
        client = openai.OpenAI(api_key="sk-bench", base_url=server.base_url, max_retries=0)
        text_q = Vorlex.create_question("valor", "Valor", "Qual o valor total?\n\n{texto}")
        compare("extract_from_text_200", reader, client, text_q)
        structured_q = Vorlex.create_question(
            "valor", "Valor", "Qual o valor total?\n\n{texto}", response_model=Valor
        )
        compare("extract_structured_200", reader, client, structured_q)
        for mode in ("json_object", "prompt"):
            moded = Vorlex(
                openai_api_key="sk-bench", model="gpt-4o-mini", max_retries=3, structured_output=mode
            )
            moded._openai_client = reader._openai_client
            if mode == "prompt":  # a plain answer that holds the JSON, as a model writes it
                server.responder = lambda body: ChatServer.json({"valor_total": "R$ 1.000,00"})
            compare(f"structured_{mode}_200", moded, client, structured_q, mode)
            server.responder = None


if __name__ == "__main__":
    main()
