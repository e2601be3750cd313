"""What a new user trips over: prompts that can never see the document, results served
from the cache counted as spending, a cache shared by two servers, transient failures
reported as errors, noise on standard error, misleading messages."""

from __future__ import annotations

import socket
import subprocess
import sys
import textwrap

import openai
import pytest

import vorlex.reader as reader_mod
from components.docgen import text_page_pdf
from servers.chat import ChatServer
from vorlex.exceptions import DocumentError
from vorlex.models import Classification, Question, QuestionConfig
from vorlex.reader import Vorlex


def ask(qid="q1", prompt="Leia: {texto}"):
    return Vorlex.create_question(qid, "Pergunta " + qid, prompt)


@pytest.mark.parametrize(
    "prompt, message",
    [
        ("Qual o valor total da fatura?", "Pergunta 'n': o prompt não contém {texto}"),
        ("Resuma {texto} para {cliente}", "Pergunta 'n': campo {cliente} desconhecido no prompt"),
        ('Responda em JSON: {"valor": 1} {texto}', "Pergunta 'n': campo {\"valor\"} desconhecido"),
        ("Texto: {texto} }", "Pergunta 'n': o prompt não é um modelo válido (Single '}'"),
        ("{texto.upper}", "Pergunta 'n': campo {texto.upper} desconhecido"),
        ("{}", "Pergunta 'n': campo {} desconhecido"),
    ],
)
def test_a_prompt_that_cannot_carry_the_document_is_refused_when_registered(prompt, message):
    with pytest.raises(ValueError) as info:
        Vorlex.create_question("n", "N", prompt)
    assert str(info.value).startswith(message)
    # a record built directly is checked when it is added, and the registry stays as it was
    reader = Vorlex(openai_api_key="sk")
    record = Question(config=QuestionConfig(id="n", name="N"), system_prompt="s", user_prompt=prompt)
    for add in (reader.add_question, lambda q: reader.add_questions([ask("ok"), q])):
        with pytest.raises(ValueError, match="Pergunta 'n'"):
            add(record)
    assert [q.config.id for q in reader.questions] == ["ok"]


def test_well_formed_prompts_and_classifications():
    for prompt in ("{texto}", "Leia {texto!r:>10} e {{literal}}", "{texto} e {texto} de novo"):
        assert Vorlex.create_question("a", "A", prompt).user_prompt == prompt
    reader = Vorlex(openai_api_key="sk")
    reader.set_classification(Classification(system_prompt="s", user_prompt="Classifique: {dados}"))
    for bad, message in (
        ("Classifique o documento", "não contém {dados}"),
        ("{dados} {texto}", "campo {texto} desconhecido"),
    ):
        with pytest.raises(ValueError, match="Classificação: .*" + message):
            reader.set_classification(Classification(system_prompt="s", user_prompt=bad))
    assert reader._classification.user_prompt == "Classifique: {dados}"


def test_a_cache_hit_is_marked_and_not_spent(make_reader, chat_server):
    pdf = text_page_pdf(["Contrato entre A e B, valor R$ 10,00."])
    reader = make_reader(enable_cache=True).add_question(ask())
    first = reader.process(pdf)
    (again,) = reader.process_batch([pdf])
    assert not first.from_cache and again.from_cache
    assert again.total_metrics == first.total_metrics and first.total_metrics.tokens > 0
    assert len(chat_server.requests) == 1


def test_readers_of_different_servers_do_not_share_answers(chat_server, tmp_path):
    pdf = text_page_pdf(["Contrato entre A e B."])
    path = str(tmp_path / "cache.sqlite")
    port = chat_server.base_url.split("//")[1].split("/")[0].split(":")[1]

    def reader(base_url, **kw):
        r = Vorlex(base_url=base_url, model="modelo-local", cache_path=path, **kw).add_question(ask())
        r._openai_client = openai.OpenAI(api_key="x", base_url=chat_server.base_url, max_retries=0)
        return r

    reader(f"http://127.0.0.1:{port}/v1").process(pdf)
    reader(f"http://127.0.0.1:{port}/v1").process(pdf)
    assert len(chat_server.requests) == 1  # the same server: a hit
    again = reader(f"http://localhost:{port}/v1").process(pdf)
    assert not again.from_cache and len(chat_server.requests) == 2  # another server asks again


def test_a_server_error_that_outlives_the_retries_is_provider_unavailable(make_reader, chat_server):
    chat_server.push(ChatServer.error(503), ChatServer.error(502))
    result = make_reader(max_retries=1).extract_from_text("texto", ask())
    assert result.status == "PROVIDER_UNAVAILABLE" and len(chat_server.requests) == 2


def test_the_library_prints_nothing_unless_logging_is_configured(tmp_path):
    script = textwrap.dedent("""
        import openai
        from vorlex import Vorlex
        r = Vorlex(openai_api_key="sk-wrong", max_retries=0)
        r._openai_client = openai.OpenAI(api_key="x", base_url="http://127.0.0.1:9/v1", max_retries=0)
        print(r.extract_from_text("texto", Vorlex.create_question("q", "Q", "{texto}")).status)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == "PROVIDER_UNAVAILABLE"
    assert run.stderr == ""


def test_unknown_ids_and_unresolvable_names_say_so(make_reader, chat_server, monkeypatch):
    reader = make_reader().add_questions([ask("a"), ask("b")])
    with pytest.raises(ValueError, match=r"Pergunta\(s\) desconhecida\(s\): 'x'\. Registradas: 'a', 'b'"):
        reader.process(text_page_pdf(["x"]), questions=["x"])

    class NoNames:
        gaierror = socket.gaierror

        def __getattr__(self, name):
            return getattr(socket, name)

        def getaddrinfo(self, *a, **k):
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(reader_mod, "socket", NoNames())
    with pytest.raises(DocumentError) as info:
        reader.process("https://documentos.exemplo-que-nao-existe.com.br/contrato.pdf")
    assert str(info.value) == (
        "Não foi possível resolver o nome do servidor da URL: documentos.exemplo-que-nao-existe.com.br"
    )
    assert chat_server.requests == []


def test_repr_shows_where_a_reader_asks_never_its_keys():
    reader = Vorlex(openai_api_key="sk-secret", model="gpt-4o").add_question(ask())
    assert repr(reader) == "Vorlex(provider='openai', model='gpt-4o', base_url=None, questions=1)"
    local = Vorlex(base_url="http://127.0.0.1:11434/v1", model="llama3.1:8b")
    assert repr(local) == (
        "Vorlex(provider='openai', model='llama3.1:8b', base_url='http://127.0.0.1:11434/v1', questions=0)"
    )
    azure = Vorlex(
        provider="azure",
        azure_api_key="az-secret",
        azure_endpoint="https://x.openai.azure.com",
        azure_deployment="prod",
    )
    assert "az-secret" not in repr(azure) and "azure_deployment='prod'" in repr(azure)


def test_model_and_base_url_from_the_environment_and_free_local_models(clean_env, chat_server, vorlex_logs):
    clean_env.setenv("VORLEX_MODEL", "gpt-4o")
    assert Vorlex(openai_api_key="sk").model == "gpt-4o"
    assert Vorlex(openai_api_key="sk", model="gpt-4.1").model == "gpt-4.1"  # the argument wins
    clean_env.setenv("VORLEX_MODEL", "llama3.1:8b")
    clean_env.setenv("VORLEX_BASE_URL", chat_server.base_url)
    local = Vorlex()
    assert (local._base_url, local.model) == (chat_server.base_url, "llama3.1:8b")
    # a model without a price on a local server costs nothing, without a warning per run
    for _ in range(2):
        result = local.extract_from_text("texto", ask())
        assert result.status == "OK" and result.metrics.cost_usd == 0.0 and result.metrics.tokens > 0
    assert not [r for r in vorlex_logs.records if "sem preço" in r.getMessage()]
    assert chat_server.requests[-1]["body"]["model"] == "llama3.1:8b"
