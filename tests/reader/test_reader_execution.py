"""Question execution end to end: the real openai client against the local chat server."""

import logging
import types

import pytest
from hypothesis import given, settings, strategies as st
from pydantic import BaseModel

from servers.chat import ChatServer
from vorlex.config import calculate_cost
from vorlex.models import Question, QuestionConfig
from vorlex.reader import Vorlex


class Valor(BaseModel):
    valor_total: float


class Partes(BaseModel):
    contratante: str
    contratada: str
    testemunhas: list[str]
    prazo_meses: int | None = None


def question(user_prompt="Extraia: {texto}", response_model=None, qid="q1"):
    # The record itself, as a caller may build it: create_question would refuse the
    # templates without {texto} that these tests hand to extract_from_text.
    return Question(
        config=QuestionConfig(id=qid, name="Pergunta " + qid),
        system_prompt="Sistema de teste",
        user_prompt=user_prompt,
        response_model=response_model,
    )


class TestTextAnswers:
    def test_text_answer_with_usage_and_cost(self, make_reader, chat_server):
        reader = make_reader(model="gpt-4o")
        chat_server.push(
            ChatServer.text("R$ 1.500,00", prompt_tokens=120, completion_tokens=30, total_tokens=150)
        )
        result = reader.extract_from_text("Valor do contrato: R$ 1.500,00", question())
        assert result.status == "OK"
        assert result.answer == "R$ 1.500,00"
        assert result.raw_result == {"response": "R$ 1.500,00"}
        assert (result.metrics.prompt_tokens, result.metrics.completion_tokens, result.metrics.tokens) == (
            120,
            30,
            150,
        )
        assert result.metrics.cost_usd == round(calculate_cost("gpt-4o", 120, 30), 6)
        assert result.metrics.cost_usd > 0
        assert result.metrics.model == "gpt-4o"
        assert result.question_id == "q1" and result.question_name == "Pergunta q1"
        sent = chat_server.requests[-1]["body"]
        assert sent["model"] == "gpt-4o"
        assert sent["messages"] == [
            {"role": "system", "content": "Sistema de teste"},
            {"role": "user", "content": "Extraia: Valor do contrato: R$ 1.500,00"},
        ]
        assert "response_format" not in sent

    def test_time_rounded_to_two_places_and_cost_to_six(self, make_reader, chat_server):
        reader = make_reader(model="gpt-4o-mini")
        chat_server.delay = 0.0123
        chat_server.push(ChatServer.text("ok", prompt_tokens=7, completion_tokens=3))
        result = reader.extract_from_text("texto", question())
        assert result.metrics.time_seconds == round(result.metrics.time_seconds, 2)
        assert result.metrics.time_seconds >= 0.01
        assert result.metrics.cost_usd == round(calculate_cost("gpt-4o-mini", 7, 3), 6)

    def test_a_price_set_at_run_time_prices_the_next_call(
        self, make_reader, chat_server, monkeypatch, vorlex_logs
    ):
        """vorlex.config.PRICES is read at each call: a price added for a house model, or
        changed for a known one, is what the next answer costs."""
        import vorlex.config

        reader = make_reader(model="house-model-v2")
        chat_server.push(ChatServer.text("ok", prompt_tokens=1000, completion_tokens=500))
        assert reader.extract_from_text("texto", question()).metrics.cost_usd == 0.0
        assert "Modelo sem preço conhecido: house-model-v2" in vorlex_logs.text
        monkeypatch.setitem(vorlex.config.PRICES, "house-model-v2", (2.0, 6.0))
        chat_server.push(ChatServer.text("ok", prompt_tokens=1000, completion_tokens=500))
        assert reader.extract_from_text("texto", question()).metrics.cost_usd == 0.005
        reader.model = "gpt-4o-mini"
        before = calculate_cost("gpt-4o-mini", 1000, 500)
        monkeypatch.setitem(vorlex.config.PRICES, "gpt-4o-mini", (20.0, 40.0))
        chat_server.push(ChatServer.text("ok", prompt_tokens=1000, completion_tokens=500))
        cost = reader.extract_from_text("texto", question()).metrics.cost_usd
        assert cost == 0.04 != round(before, 6)

    def test_model_property_change_reaches_next_call(self, make_reader, chat_server):
        reader = make_reader()
        reader.model = "modelo-qualquer"
        result = reader.extract_from_text("texto", question())
        assert chat_server.requests[-1]["body"]["model"] == "modelo-qualquer"
        assert result.metrics.model == "modelo-qualquer"

    def test_short_text_is_sent(self, make_reader, chat_server):
        result = make_reader().extract_from_text("42", question("{texto}"))
        assert result.status == "OK"
        assert chat_server.requests[-1]["body"]["messages"][1]["content"] == "42"

    def test_template_without_placeholder_is_sent_unchanged(self, make_reader, chat_server):
        make_reader().extract_from_text("segredo", question("Sem marcador {{literal}}"))
        assert chat_server.requests[-1]["body"]["messages"][1]["content"] == "Sem marcador {literal}"


class TestStructuredAnswers:
    def test_structured_answer_follows_the_schema(self, make_reader, chat_server):
        reader = make_reader()
        result = reader.extract_from_text("Contrato entre A e B", question(response_model=Partes))
        assert result.status == "OK", result.answer
        sent = chat_server.requests[-1]["body"]
        assert sent["response_format"]["type"] == "json_schema"
        assert set(sent["response_format"]["json_schema"]["schema"]["properties"]) == {
            "contratante",
            "contratada",
            "testemunhas",
            "prazo_meses",
        }
        assert result.raw_result == Partes.model_validate(result.raw_result).model_dump()
        assert result.raw_result["testemunhas"] == ["valor de testemunhas"]
        # several fields: the main response is the whole mapping
        assert result.answer == result.raw_result
        assert result.metrics.tokens == result.metrics.prompt_tokens + result.metrics.completion_tokens > 0

    def test_single_field_answer_is_its_value(self, make_reader, chat_server):
        chat_server.push(ChatServer.json({"valor_total": 1500.5}))
        result = make_reader().extract_from_text("Total 1500,50", question(response_model=Valor))
        assert result.status == "OK"
        assert result.answer == 1500.5
        assert result.raw_result == {"valor_total": 1500.5}

    def test_schema_violation_is_parse_error(self, make_reader, chat_server):
        # validation_retries=0: the first answer that does not validate is final.
        chat_server.push(ChatServer.json({"valor_total": "mil e quinhentos"}))
        result = make_reader(validation_retries=0).extract_from_text("Total", question(response_model=Valor))
        assert result.status == "PARSE_ERROR"
        assert result.answer.startswith("ValidationError: ")
        assert result.raw_result is None
        assert result.metrics.tokens == 0 and result.metrics.time_seconds > 0

    def test_structured_call_without_beta_uses_chat_parse(self, make_reader, chat_server):
        reader = make_reader()
        real = reader._openai_client
        # a client of the openai 2.x layout: no beta namespace
        reader._openai_client = types.SimpleNamespace(chat=real.chat)
        chat_server.push(ChatServer.json({"valor_total": 3.0}))
        result = reader.extract_from_text("Total 3", question(response_model=Valor))
        assert (result.status, result.answer) == ("OK", 3.0)

    def test_parsed_object_without_model_dump_still_gives_a_mapping(self, make_reader):
        reader = make_reader()
        parsed = {"valor_total": 9}

        def fake_call(messages, response_model=None):
            message = types.SimpleNamespace(parsed=parsed, content=None)
            usage = types.SimpleNamespace(prompt_tokens=1, completion_tokens=1, total_tokens=2)
            return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)], usage=usage)

        reader._call_llm = fake_call
        result = reader.extract_from_text("x", question(response_model=Valor))
        assert result.status == "OK"
        assert result.raw_result == {"valor_total": 9}
        assert result.raw_result is not parsed


class TestProviderFailures:
    def test_rate_limit_then_success_is_retried_by_the_reader(self, make_reader, chat_server, vorlex_logs):
        reader = make_reader(max_retries=2)
        chat_server.push(ChatServer.error(429), ChatServer.text("depois do limite"))
        result = reader.extract_from_text("texto", question())
        assert (result.status, result.answer) == ("OK", "depois do limite")
        assert len(chat_server.requests) == 2
        retries = [r for r in vorlex_logs.records if r.name == "vorlex.resilience"]
        assert [r.getMessage().split(" após")[0] for r in retries] == ["Retry 1/2"]

    def test_persistent_rate_limit_is_provider_unavailable(self, make_reader, chat_server):
        reader = make_reader(max_retries=1)
        chat_server.push(ChatServer.error(429), ChatServer.error(429))
        result = reader.extract_from_text("texto", question())
        assert result.status == "PROVIDER_UNAVAILABLE"
        assert result.answer.startswith("RateLimitError: ")
        assert len(chat_server.requests) == 2

    def test_no_retry_when_max_retries_is_zero(self, make_reader, chat_server):
        reader = make_reader(max_retries=0)
        chat_server.push(ChatServer.error(500), ChatServer.text("nunca lido"))
        result = reader.extract_from_text("texto", question())
        # a server error that outlived the retries: the provider could not answer now
        assert result.status == "PROVIDER_UNAVAILABLE"
        assert result.answer.startswith("InternalServerError: ")
        assert len(chat_server.requests) == 1

    def test_unauthorized_is_auth_error_and_not_retried(self, make_reader, chat_server, vorlex_logs):
        reader = make_reader(max_retries=3)
        chat_server.push(ChatServer.error(401, "Incorrect API key provided"))
        result = reader.extract_from_text("texto", question())
        assert result.status == "AUTH_ERROR"
        assert result.answer.startswith("AuthenticationError: ")
        assert "Incorrect API key provided" in result.answer
        assert len(chat_server.requests) == 1
        line = [r for r in vorlex_logs.records if r.name == "vorlex.reader" and r.levelno == logging.ERROR][
            -1
        ]
        assert line.getMessage() == "Pergunta q1 falhou (AUTH_ERROR): AuthenticationError"
        assert line.exc_info and line.exc_info[0].__name__ == "AuthenticationError"

    def test_forbidden_is_auth_error(self, make_reader, chat_server):
        chat_server.push(ChatServer.error(403))
        assert make_reader().extract_from_text("t", question()).status == "AUTH_ERROR"

    def test_response_without_choices_is_an_error_result(self, make_reader, chat_server):
        chat_server.push(
            ChatServer.raw(
                200, '{"id": "x", "object": "chat.completion", "created": 0, "model": "m", "choices": []}'
            )
        )
        result = make_reader().extract_from_text("t", question())
        assert result.status == "ERROR"
        assert result.answer.startswith("IndexError: ")

    def test_failure_time_is_not_rounded(self, make_reader, chat_server):
        chat_server.delay = 0.0037
        chat_server.push(ChatServer.error(400))
        result = make_reader().extract_from_text("t", question())
        assert result.status == "ERROR"
        assert result.metrics.time_seconds != round(result.metrics.time_seconds, 2)


class TestEmptyText:
    @pytest.mark.parametrize("text", ["", "\n\n---\n\n", " - -- \t\n", "\u2003---\u3000"])
    def test_no_text_no_call(self, make_reader, chat_server, text, vorlex_logs):
        result = make_reader().extract_from_text(text, question())
        assert (result.status, result.answer) == ("NO_DATA", "Documento sem texto extraível")
        assert result.raw_result is None and result.metrics.tokens == 0
        assert chat_server.requests == []
        assert "Pergunta 'q1': texto vazio apos filtragem; LLM nao sera chamado." in [
            r.getMessage() for r in vorlex_logs.records if r.levelno == logging.WARNING
        ]

    @given(
        st.text(
            alphabet=st.sampled_from(
                ["-", " ", "\n", "\t", "a", "\u00a0", "\u2028", "\x1c", "\u200b", "1", "\u2014"]
            ),
            max_size=12,
        )
    )
    def test_has_extractable_text_matches_python(self, text):
        assert Vorlex._has_extractable_text(text) == bool(text.replace("-", "").strip())

    def test_empty_document_result(self, make_reader):
        result = make_reader()._empty_document_result(question(qid="vazia"))
        assert (result.question_id, result.question_name, result.status) == (
            "vazia",
            "Pergunta vazia",
            "NO_DATA",
        )


class TestTemplates:
    @pytest.mark.parametrize(
        "template,error",
        [
            ("Dados: {nome}", "KeyError: 'nome'"),
            ("Dados: {}", "IndexError: Replacement index 0 out of range for positional args tuple"),
            ("Dados: {0}", "IndexError: Replacement index 0 out of range for positional args tuple"),
            ("Dados: { texto", "ValueError: expected '}' before end of string"),
            ("Dados: texto}", "ValueError: Single '}' encountered in format string"),
            ("Dados: {", "ValueError: Single '{' encountered in format string"),
        ],
    )
    def test_bad_template_gives_error_result(self, make_reader, chat_server, template, error):
        result = make_reader().extract_from_text("conteúdo", question(template))
        assert (result.status, result.answer) == ("ERROR", error)
        assert chat_server.requests == []

    def test_template_that_is_not_text(self, make_reader, chat_server):
        bad = question()
        bad.user_prompt = None  # records do not validate assignment
        result = make_reader().extract_from_text("conteúdo", bad)
        assert (result.status, result.answer) == (
            "ERROR",
            "AttributeError: 'NoneType' object has no attribute 'format'",
        )

    @settings(max_examples=300, deadline=None)
    @given(
        template=st.lists(
            st.sampled_from(
                [
                    "{",
                    "}",
                    "texto",
                    "x",
                    "!",
                    "r",
                    "s",
                    "a",
                    ":",
                    ">",
                    "8",
                    "0",
                    ".",
                    "[",
                    "]",
                    "upper",
                    "é",
                    "\u0661",
                    " ",
                    "{texto}",
                    "{{",
                    "}}",
                    "\ud800",
                    "\x85",
                ]
            ),
            max_size=10,
        ).map("".join),
        text=st.text(max_size=6).filter(lambda t: t.replace("-", "").strip()),
    )
    def test_template_rules_equal_str_format(self, template, text):
        reader = Vorlex(openai_api_key="sk-test")
        sent = []

        def fake_call(messages, response_model=None):
            sent.append(messages[1]["content"])
            message = types.SimpleNamespace(content="ok", parsed=None)
            usage = types.SimpleNamespace(prompt_tokens=1, completion_tokens=1, total_tokens=2)
            return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)], usage=usage)

        reader._call_llm = fake_call
        try:
            expected = template.format(texto=text)
        except Exception as exc:  # noqa: BLE001 - the oracle's own failure, whatever it is, is the expected answer
            expected_error = f"{type(exc).__name__}: {exc}"
        else:
            expected_error = None
        result = reader._execute_question(text, question(template))
        if expected_error is None:
            assert result.status == "OK"
            assert sent == [expected]
        else:
            assert result.status == "ERROR"
            assert result.answer == expected_error
            assert sent == []


class TestBadInput:
    def test_non_text_is_type_error_before_any_call(self, make_reader, chat_server):
        reader = make_reader()
        for bad in (None, b"bytes", 12, ["lista"]):
            with pytest.raises(TypeError, match="text"):
                reader.extract_from_text(bad, question())
            with pytest.raises(TypeError, match="text"):
                reader._execute_question(bad, question())
            with pytest.raises(TypeError, match="text"):
                Vorlex._has_extractable_text(bad)
        assert chat_server.requests == []

    def test_interruption_is_not_swallowed(self, make_reader):
        reader = make_reader()

        def interrupted(messages, response_model=None):
            raise KeyboardInterrupt

        reader._call_llm = interrupted
        with pytest.raises(KeyboardInterrupt):
            reader.extract_from_text("texto", question())

    def test_failures_never_escape_execute_question(self, make_reader):
        reader = make_reader()

        class ContentFilterBlocked(Exception):
            pass

        for exc, status in [
            (ContentFilterBlocked("bloqueado"), "REFUSED"),
            (RuntimeError("falhou"), "ERROR"),
            (ValueError("ruim"), "ERROR"),
        ]:

            def failing(messages, response_model=None, exc=exc):
                raise exc

            reader._call_llm = failing
            result = reader._execute_question("texto", question())
            assert result.status == status
            assert result.answer == f"{type(exc).__name__}: {exc}"

    def test_usage_without_numbers_is_a_failure_result(self, make_reader):
        reader = make_reader()

        def no_usage(messages, response_model=None):
            message = types.SimpleNamespace(content="ok")
            return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)], usage=None)

        reader._call_llm = no_usage
        result = reader.extract_from_text("texto", question())
        assert result.status == "ERROR"
        assert result.answer.startswith("AttributeError: ")


class TestLateBinding:
    def test_operations_are_reached_through_the_instance(self, make_reader, monkeypatch):
        import vorlex.reader as reader_module

        reader = make_reader()
        seen = []
        monkeypatch.setattr(
            Vorlex, "_execute_question", lambda self, text, q: seen.append((self, text)) or "patched"
        )
        assert reader.extract_from_text("t", question()) == "patched"
        assert seen == [(reader, "t")]
        monkeypatch.undo()

        # the records and the price function are read from the module at call time
        monkeypatch.setattr(reader_module, "calculate_cost", lambda model, p, c: 1.23456789)
        result = reader.extract_from_text("t", question())
        assert result.metrics.cost_usd == 1.234568

    def test_empty_text_goes_through_the_patched_guard(self, make_reader, chat_server):
        reader = make_reader()
        reader._has_extractable_text = lambda text: False
        result = reader.extract_from_text("texto de verdade", question())
        assert result.status == "NO_DATA" and chat_server.requests == []
