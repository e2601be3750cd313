"""The `vorlex` command end to end: each run is a new interpreter, talking to the local
chat server and the fake registry as a user's shell would."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from contract.contracts import (
    CNPJ_ALFA,
    contrato_exemplo,
    registros_exemplo,
)
from servers.chat import ChatServer
from servers.registry import RegistryServer, Reply, fmt

# Starts the command with the registry's addresses pointed at the fake registry (the
# only seam a separate process needs); everything else is the installed command.
LAUNCH = textwrap.dedent("""
    import json, os, sys
    urls = json.loads(os.environ.get("VORLEX_TEST_REGISTRY") or "{}")
    if urls:
        import vorlex.contract.countries.br.cnpj as m
        for name, url in urls.items():
            setattr(m, name, url)
    from vorlex.__main__ import main
    sys.exit(main(sys.argv[1:]))
""")
PROVIDER_VARS = (
    "OPENAI_API_KEY",
    "OPENAI_BASE_URL",
    "AZURE_API_KEY",
    "AZURE_API_ENDPOINT",
    "AZURE_ENDPOINT",
    "GOOGLE_API_KEY",
    "XAI_API_KEY",
    "GROK_API_KEY",
    "OPENAI_PROVIDER",
)


def registry_urls(registry):
    """The CNPJ module's service addresses, pointed at the fake registry."""
    return {
        "BRASIL_API_URL": registry.brasil_api_url,
        "RECEITA_WS_URL": registry.receita_ws_url,
        "CASADOSDADOS_API": registry.casa_dos_dados_url,
    }


def vorlex(*args, env=None, cwd=None, timeout=120):
    base = {k: v for k, v in os.environ.items() if k not in PROVIDER_VARS}
    base.update(env or {})
    base["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", LAUNCH, *args],
        capture_output=True,
        text=True,
        env=base,
        cwd=cwd,
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )


def one_error_line(run):
    lines = run.stderr.strip().splitlines()
    assert "Traceback" not in run.stderr, run.stderr
    assert len(lines) == 1, run.stderr
    return lines[0]


def text_pdf(path, text):
    import pymupdf

    doc = pymupdf.open()
    doc.new_page().insert_textbox(pymupdf.Rect(50, 50, 550, 800), text, fontsize=11)
    doc.save(path)
    doc.close()
    return str(path)


@pytest.fixture(autouse=True)
def own_cache_folder(tmp_path, monkeypatch):
    """Each test's runs keep their results file in a folder of their own."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg-cache"))
    return tmp_path / "xdg-cache" / "vorlex" / "results.sqlite"


@pytest.fixture
def model(chat_server):
    return {"OPENAI_API_KEY": "sk-test", "OPENAI_BASE_URL": chat_server.base_url}


@pytest.fixture
def docs(tmp_path):
    return [
        text_pdf(tmp_path / "a.pdf", "Contrato entre ACME e BETA, valor de R$ 10.000,00."),
        text_pdf(tmp_path / "b.pdf", "Segundo documento {com chaves} no texto."),
    ]


# -- read ------------------------------------------------------------------------------


def test_read_asks_a_document_s_questions_four_at_a_time(chat_server, model, docs):
    import time

    from servers.chat import InFlight

    def flights(*extra):
        flight = InFlight()

        def respond(body):
            with flight:
                time.sleep(0.2)
            return "ok"

        chat_server.responder = respond
        asks = [a for i in range(5) for a in ("--ask", f"Pergunta {i}?")]
        run = vorlex("read", docs[0], *asks, "--no-cache", "--json", *extra, env=model)
        assert run.returncode == 0, run.stderr
        out = json.loads(run.stdout)
        assert [r["question_id"] for r in out[0]["results"]] == [f"q{i}" for i in range(1, 6)]
        return flight.peak

    assert flights() == 4
    assert flights("--question-concurrency", "1") == 1
    bad = vorlex("read", docs[0], "--ask", "x", "--question-concurrency", "0", env=model)
    assert bad.returncode == 2 and "--question-concurrency" in bad.stderr


def test_read_a_batch_shows_progress_and_a_summary(chat_server, model, docs):
    run = vorlex("read", *docs, "--ask", "Qual o valor?", "--json", "--workers", "2", env=model)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    assert [r["document"]["filename"] for r in out] == ["a.pdf", "b.pdf"]
    assert [r["results"][0]["status"] for r in out] == ["OK", "OK"]
    tokens = sum(r["total_metrics"]["tokens"] for r in out)
    assert tokens > 0
    # The bar (tqdm on stderr) reached both documents with the running totals.
    assert "Documentos" in run.stderr and "2/2" in run.stderr
    assert f"tokens={tokens}" in run.stderr
    assert (
        run.stderr.strip()
        .splitlines()[-1]
        .startswith(f"2 documento(s), 0 com falha; {tokens} tokens; custo US$ ")
    )
    # The question without {texto} gets the document appended; its own braces are literal.
    prompts = sorted(req["body"]["messages"][-1]["content"] for req in chat_server.requests)
    assert prompts[0].startswith("Qual o valor?\n\n") and "ACME" in prompts[0]
    assert "{com chaves}" in prompts[1]


def test_read_one_document_in_text_without_a_bar(chat_server, model, docs):
    chat_server.push(ChatServer.text("R$ 10.000,00"))
    run = vorlex("read", docs[0], "--ask", "Qual o valor?", env=model)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "== a.pdf\n  [OK] Pergunta 1: R$ 10.000,00\n"
    assert "Documentos" not in run.stderr
    assert run.stderr.startswith("1 documento(s), 0 com falha;")


def test_read_a_failed_document_exits_1_naming_it(chat_server, model, docs):
    chat_server.push(ChatServer.text("ok"), ChatServer.error(400, "pedido recusado"))
    run = vorlex("read", *docs, "--ask", "Qual o valor?", "--workers", "1", "--no-progress", env=model)
    assert run.returncode == 1
    lines = run.stderr.strip().splitlines()
    # (The library's own warning about the question comes first, through logging.)
    assert [line for line in lines if line.startswith("vorlex: falha em ")] == [
        "vorlex: falha em b.pdf: ERROR: BadRequestError: Error code: 400 - pedido recusado"
    ]
    assert lines[-1].startswith("2 documento(s), 1 com falha;")
    assert "Traceback" not in run.stderr


def test_read_twice_asks_the_model_once(chat_server, model, docs, own_cache_folder, tmp_path):
    first = vorlex("read", docs[0], "--ask", "Qual o valor?", env=model)
    assert first.returncode == 0, first.stderr
    assert len(chat_server.requests) == 1 and own_cache_folder.is_file()
    second = vorlex("read", docs[0], "--ask", "Qual o valor?", env=model)
    assert second.returncode == 0, second.stderr
    assert second.stdout == first.stdout
    assert len(chat_server.requests) == 1  # the second run was served by the results file
    # and it spent nothing: the summary counts only what was spent now
    assert "1 do cache; 0 tokens; custo US$ 0.0000" in second.stderr.splitlines()[-1]
    assert " 0 tokens" not in first.stderr.splitlines()[-1]
    # --no-cache asks again; --cache keeps another file.
    assert vorlex("read", docs[0], "--ask", "Qual o valor?", "--no-cache", env=model).returncode == 0
    assert len(chat_server.requests) == 2
    other = tmp_path / "outro.sqlite"
    assert vorlex("read", docs[0], "--ask", "Qual o valor?", "--cache", str(other), env=model).returncode == 0
    assert len(chat_server.requests) == 3 and other.is_file()


def test_usage_mistakes_and_conveniences(model, docs, tmp_path):
    assert vorlex("--version").stdout.strip().startswith("vorlex ")
    run = vorlex("read", docs[0], "--ask", "x", "--workers", "0", env=model)
    assert run.returncode == 2 and "--workers: deve ser 1 ou mais: 0" in run.stderr
    # verify on a file that is not a PDF: one line, a usage status, no banner
    texto = tmp_path / "contrato.txt"
    texto.write_text("não é um PDF")
    for path, message in ((texto, "não é um PDF"), (tmp_path, "não é um arquivo regular")):
        run = vorlex("verify", str(path), env=model)
        assert run.returncode == 2 and run.stdout == ""
        assert one_error_line(run) == f"vorlex: erro: {message}: {path}"
    quebrado = tmp_path / "quebrado.pdf"
    quebrado.write_bytes(b"%PDF-1.7 cortado")
    run = vorlex("verify", str(quebrado), env=model)
    assert run.returncode == 2 and run.stdout == "" and "documento ilegível" in one_error_line(run)
    # cnpj --json
    out = json.loads(vorlex("cnpj", "11.222.333/0001-81", "--json").stdout)
    assert out == {"valido": True, "cnpj": "11.222.333/0001-81"}
    run = vorlex("cnpj", "11.222.333/0001-82", "--json")
    assert run.returncode == 1 and json.loads(run.stdout) == {"valido": False, "cnpj": "11.222.333/0001-82"}


def test_a_second_file_with_the_same_content_is_printed_under_its_own_name(chat_server, model, tmp_path):
    janeiro = text_pdf(tmp_path / "janeiro.pdf", "Contrato entre ACME e BETA, valor de R$ 10,00.")
    fevereiro = tmp_path / "fevereiro.pdf"
    fevereiro.write_bytes((tmp_path / "janeiro.pdf").read_bytes())
    chat_server.push(ChatServer.text("R$ 10,00"))
    assert vorlex("read", janeiro, "--ask", "Qual o valor?", env=model).returncode == 0
    run = vorlex("read", str(fevereiro), "--ask", "Qual o valor?", env=model)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "== fevereiro.pdf\n  [OK] Pergunta 1: R$ 10,00\n"
    assert len(chat_server.requests) == 1  # served from the results file


@pytest.mark.parametrize("command", ["read", "screen", "verify"])
@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_a_path_that_is_not_a_regular_file_is_a_usage_error(command, kind, tmp_path, model):
    """A FIFO would block the read for ever, a directory is no document: both are named,
    with the usage status, before anything is read (the run has a timeout)."""
    path = str(tmp_path / "entrada.pdf")
    if kind == "fifo":
        os.mkfifo(path)
    else:
        os.mkdir(path)
    run = vorlex(command, path, *(["--ask", "x"] if command == "read" else []), env=model, timeout=60)
    assert one_error_line(run) == f"vorlex: erro: não é um arquivo regular: {path}"
    assert run.returncode == 2 and run.stdout == ""


def test_ctrl_c_stops_a_threaded_batch_and_prints_what_finished(chat_server, model, tmp_path):
    """Twelve documents on two workers, each model call 1.5 s: an interrupt after the
    first two answers ends the command within a second or two, with those two printed,
    the rest never asked, and status 130."""
    import signal
    import time

    chat_server.delay = 1.5
    paths = [
        text_pdf(tmp_path / f"d{i:02}.pdf", f"Contrato número {i} entre ACME e BETA.") for i in range(12)
    ]
    base = {k: v for k, v in os.environ.items() if k not in PROVIDER_VARS}
    base.update(model)
    base["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    proc = subprocess.Popen(
        [
            sys.executable,
            "-c",
            LAUNCH,
            "read",
            *paths,
            "--ask",
            "Valor?",
            "--workers",
            "2",
            "--no-progress",
            "--no-cache",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=base,
        stdin=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 60
        while len(chat_server.requests) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)  # the first two answered, the next two in flight
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        out, err = proc.communicate(timeout=30)
        took = time.monotonic() - interrupted
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert took < 2.5, took
    printed = [line for line in out.splitlines() if line.startswith("== ")]
    assert 2 <= len(printed) <= 4, out
    assert "interrompido" in err and "Traceback" not in err, err
    time.sleep(2)
    assert len(chat_server.requests) <= 5  # the documents not started were never asked


def test_read_a_refused_url_is_a_failed_document(model):
    run = vorlex("read", "http://127.0.0.1:9/interno.pdf", "--ask", "x", env=model)
    assert run.returncode == 1
    assert "vorlex: falha em " in run.stderr and "Traceback" not in run.stderr


def test_read_with_a_local_server_needs_no_key(chat_server, docs):
    run = vorlex("read", docs[0], "--ask", "x", "--base-url", chat_server.base_url, "--model", "llama3.1:8b")
    assert run.returncode == 0, run.stderr
    assert chat_server.requests[-1]["body"]["model"] == "llama3.1:8b"


@pytest.mark.parametrize("case", ["missing file", "missing key", "no command"])
def test_errors_are_one_line_and_a_usage_status(case, docs, model):
    if case == "missing file":
        run = vorlex("read", "nao-existe.pdf", "--ask", "x", env=model)
        assert one_error_line(run) == "vorlex: erro: arquivo não encontrado: nao-existe.pdf"
    elif case == "missing key":
        run = vorlex("read", docs[0], "--ask", "x")
        assert one_error_line(run).startswith("vorlex: erro: OpenAI API key não configurada")
        run = vorlex("verify", docs[0])
        assert one_error_line(run).startswith("vorlex: erro: nenhuma chave de modelo configurada")
    else:
        run = vorlex()
        assert "the following arguments are required: COMMAND" in run.stderr
    assert run.returncode == 2
    assert run.stdout == ""


# -- screen and cnpj (offline) ---------------------------------------------------------


def test_screen_reads_the_keywords_of_the_text(tmp_path):
    contract = contrato_exemplo().write(tmp_path / "contrato.pdf")
    run = vorlex("screen", str(contract), "--json")
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout)
    assert got["eh_contrato"] is True and got["quantidade"] == len(got["keywords_encontradas"]) >= 3
    other = text_pdf(tmp_path / "nota.pdf", "Lista de compras: pão, leite.")
    run = vorlex("screen", other)
    assert run.returncode == 1
    assert run.stdout.startswith("Contrato: não (0 palavra(s)-chave)")


def test_cnpj_validates_formats_and_looks_up():
    run = vorlex("cnpj", CNPJ_ALFA)
    assert (run.returncode, run.stdout) == (0, f"CNPJ válido: {fmt(CNPJ_ALFA)}\n")
    run = vorlex("cnpj", CNPJ_ALFA[:-1] + str((int(CNPJ_ALFA[-1]) + 1) % 10))
    assert run.returncode == 1 and run.stdout.startswith("CNPJ inválido")
    with RegistryServer() as registry:
        registry.brasil_api.update(registros_exemplo())
        urls = registry_urls(registry)
        run = vorlex("cnpj", fmt(CNPJ_ALFA), "--lookup", env={"VORLEX_TEST_REGISTRY": json.dumps(urls)})
        assert run.returncode == 0, run.stderr
        record = json.loads(run.stdout.split("\n", 1)[1])
        assert record["razao_social"] == "ALFA TECNOLOGIA LTDA"
        registry.brasil_api.clear()
        run = vorlex("cnpj", fmt(CNPJ_ALFA), "--lookup", env={"VORLEX_TEST_REGISTRY": json.dumps(urls)})
        assert run.returncode == 1
        assert "não encontrado no cadastro" in one_error_line(run)
        # a registry that cannot be reached is not a company that does not exist
        registry.brasil_api[CNPJ_ALFA] = Reply(503, json={"message": "Service Unavailable"})
        closed = dict(urls, RECEITA_WS_URL="http://127.0.0.1:9/v1/cnpj/{cnpj}")
        run = vorlex("cnpj", fmt(CNPJ_ALFA), "--lookup", env={"VORLEX_TEST_REGISTRY": json.dumps(closed)})
        assert run.returncode == 3, run.stderr
        assert "Traceback" not in run.stderr
        assert run.stderr.strip().splitlines()[-1] == (
            f"vorlex: erro: CNPJ {fmt(CNPJ_ALFA)}: registro indisponível "
            "(BrasilAPI: HTTP 503; ReceitaWS: ConnectionError)"
        )


# -- verify ----------------------------------------------------------------------------


@pytest.mark.parametrize("as_json", [False, True], ids=["report", "json"])
def test_verify_prints_the_report_or_the_mapping(chat_server, model, tmp_path, as_json):
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    chat_server.responder = contract.responder()
    with RegistryServer() as registry:
        registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
        urls = registry_urls(registry)
        args = ["verify", str(path)] + (["--json"] if as_json else [])
        run = vorlex(*args, env=dict(model, VORLEX_TEST_REGISTRY=json.dumps(urls)))
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr
    if as_json:
        result = json.loads(run.stdout)
        assert result["resultado_final"] == "APROVADO"
        assert result["total_campos"] == 11 == result["total_aprovados"]
    else:
        assert "VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO" in run.stdout
        assert "APROVADO" in run.stdout


def test_verify_a_rejected_contract_exits_1(chat_server, model, tmp_path):
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    chat_server.responder = contract.responder()
    with RegistryServer() as registry:
        registry.brasil_api.update(registros_exemplo())  # the attorney is no partner
        urls = registry_urls(registry)
        run = vorlex("verify", str(path), "--json", env=dict(model, VORLEX_TEST_REGISTRY=json.dumps(urls)))
    assert run.returncode == 1, run.stderr
    assert json.loads(run.stdout)["resultado_final"] == "REPROVADO"


# -- in-process: the command's settings are arguments, never the environment -----------

ENV_READ_BY_THE_LIBRARY = (
    "OPENAI_API_KEY",
    "OPENAI_BASE_URL",
    "VORLEX_BASE_URL",
    "VORLEX_MODEL",
    "VORLEX_CACHE_PATH",
    "VORLEX_CACHE_URL",
    "VORLEX_OCR_ENGINE",
    "AZURE_AI_VISION_KEY",
)


@pytest.fixture
def in_process(monkeypatch, tmp_path):
    """main() in this interpreter, with none of the variables the command used to write;
    the logging handlers main() adds are taken off again afterwards."""
    import logging

    for name in ENV_READ_BY_THE_LIBRARY:
        monkeypatch.delenv(name, raising=False)
    root = logging.getLogger()
    reader_logger = logging.getLogger("vorlex.reader")
    saved = (list(root.handlers), root.level, reader_logger.level)
    from vorlex.__main__ import main

    def run(*args):
        before = dict(os.environ)
        status = main(list(args))
        return status, before

    yield run
    root.handlers[:] = saved[0]
    root.setLevel(saved[1])
    reader_logger.setLevel(saved[2])


@pytest.fixture
def fake_registry(monkeypatch):
    import vorlex.contract.countries.br.cnpj as cnpj_mod

    with RegistryServer() as registry:
        for name, url in registry_urls(registry).items():
            monkeypatch.setattr(cnpj_mod, name, url)
        yield registry


def test_read_in_process_leaves_the_environment_as_it_was(in_process, chat_server, docs, tmp_path, capsys):
    results = tmp_path / "resultados.sqlite"
    status, before = in_process(
        "read",
        docs[0],
        "--ask",
        "Qual o valor?",
        "--base-url",
        chat_server.base_url,
        "--model",
        "llama3.1:8b",
        "--cache",
        str(results),
    )
    assert status == 0, capsys.readouterr().err
    assert dict(os.environ) == before
    assert chat_server.requests[-1]["body"]["model"] == "llama3.1:8b"
    assert results.is_file()
    assert capsys.readouterr().out.startswith("== a.pdf\n  [OK] Pergunta 1: ")


def test_screen_in_process_leaves_the_environment_as_it_was(in_process, tmp_path, capsys):
    contract = contrato_exemplo().write(tmp_path / "contrato.pdf")
    status, before = in_process("screen", str(contract))
    assert status == 0, capsys.readouterr().err
    assert dict(os.environ) == before
    assert capsys.readouterr().out.startswith("Contrato: sim (")


def test_verify_on_a_local_server_in_process_leaves_the_environment_as_it_was(
    in_process, chat_server, fake_registry, tmp_path, capsys
):
    """--base-url without OPENAI_API_KEY: the checker's reader asks the local server with
    the placeholder key, and keeps its answers in the results file named."""
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    chat_server.responder = contract.responder()
    fake_registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    results = tmp_path / "resultados.sqlite"
    status, before = in_process(
        "verify",
        str(path),
        "--json",
        "--base-url",
        chat_server.base_url,
        "--model",
        "gpt-4o",
        "--cache",
        str(results),
    )
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert dict(os.environ) == before
    assert json.loads(captured.out)["resultado_final"] == "APROVADO"
    assert len(chat_server.requests) == 3
    assert {r["headers"]["authorization"] for r in chat_server.requests} == {"Bearer not-needed"}
    assert results.is_file()


@pytest.mark.parametrize("where", ["options", "environment"])
def test_verify_on_a_local_server_with_an_empty_key_variable(
    in_process, chat_server, fake_registry, tmp_path, monkeypatch, capsys, where
):
    """An empty OPENAI_API_KEY is no key: the local server is asked with the placeholder.
    The server and its model may come from the environment (VORLEX_BASE_URL,
    VORLEX_MODEL) as for the library."""
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    chat_server.responder = contract.responder()
    fake_registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    monkeypatch.setenv("OPENAI_API_KEY", "")
    if where == "options":
        options = ["--base-url", chat_server.base_url, "--model", "llama3.1:8b"]
    else:
        options = []
        monkeypatch.setenv("VORLEX_BASE_URL", chat_server.base_url)
        monkeypatch.setenv("VORLEX_MODEL", "llama3.1:8b")
    status, before = in_process("verify", str(path), "--json", "--no-cache", *options)
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert dict(os.environ) == before
    assert json.loads(captured.out)["resultado_final"] == "APROVADO"
    assert {r["headers"]["authorization"] for r in chat_server.requests} == {"Bearer not-needed"}
    assert {r["body"]["model"] for r in chat_server.requests} == {"llama3.1:8b"}


def test_verify_tells_a_reader_that_could_not_be_built_from_a_pending_contract(
    in_process, chat_server, fake_registry, tmp_path, monkeypatch, capsys
):
    """Exit 2 with one line when the checker could not build its reader (here an OCR
    engine the reader refuses); a contract left pending by the registry is status 3."""
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    chat_server.responder = contract.responder()
    monkeypatch.setenv("VORLEX_OCR_ENGINE", "papiro")
    status, _ = in_process(
        "verify", str(path), "--base-url", chat_server.base_url, "--model", "gpt-4o", "--no-cache"
    )
    captured = capsys.readouterr()
    assert status == 2
    assert captured.err.strip().splitlines()[-1] == (
        "vorlex: erro: o leitor de documentos não pôde ser criado: verifique as configurações do modelo"
    )
    assert "Erro ao inicializar Vorlex: VORLEX_OCR_ENGINE must be" in captured.out
    assert chat_server.requests == []

    monkeypatch.delenv("VORLEX_OCR_ENGINE")
    fake_registry.brasil_api.update(
        {cnpj: Reply(503, json={"message": "Service Unavailable"}) for cnpj in registros_exemplo()}
    )
    fake_registry.receita_ws.update(
        {cnpj: Reply(503, json={"message": "Service Unavailable"}) for cnpj in registros_exemplo()}
    )
    status, _ = in_process(
        "verify", str(path), "--json", "--base-url", chat_server.base_url, "--model", "gpt-4o", "--no-cache"
    )
    captured = capsys.readouterr()
    assert status == 3, captured.err
    assert json.loads(captured.out)["resultado_final"] == "PENDENTE"
    assert "não pôde ser criado" not in captured.err


# -- local model servers -----------------------------------------------------------------


@pytest.fixture
def llama():
    with ChatServer.llama_cpp() as server:
        yield server


@pytest.mark.parametrize("command", ["read", "verify"])
def test_a_base_url_without_a_model_is_a_usage_error(command, docs, chat_server):
    args = [command, docs[0]] + (["--ask", "x"] if command == "read" else [])
    run = vorlex(*args, "--base-url", chat_server.base_url)
    assert run.returncode == 2
    assert one_error_line(run) == (
        "vorlex: erro: --model é obrigatório com --base-url: o nome do "
        "modelo no servidor (por exemplo --model llama3.2:3b)"
    )
    run = vorlex(*args, env={"VORLEX_BASE_URL": chat_server.base_url})
    assert run.returncode == 2 and "--model é obrigatório" in one_error_line(run)
    assert chat_server.requests == []


def test_read_marks_an_answer_cut_short(llama, docs, in_process, capsys):
    llama.default_text = " ".join(["longa"] * 50)
    status, _ = in_process(
        "read",
        docs[0],
        "--ask",
        "Resuma",
        "--base-url",
        llama.base_url,
        "--model",
        "smollm2",
        "--max-tokens",
        "3",
        "--timeout",
        "20",
        "--no-cache",
    )
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert captured.out.splitlines()[1] == "  [OK, truncada] Pergunta 1: " + ("longa " * 3)[:12]
    assert llama.requests[0]["body"]["max_tokens"] == 3


@pytest.mark.parametrize(
    "structured, kinds",
    [
        (None, ["json_schema", "json_object", "json_object", "json_object"]),
        ("json_object", ["json_object"] * 3),
    ],
)
def test_verify_on_a_llama_cpp_server(llama, fake_registry, in_process, tmp_path, capsys, structured, kinds):
    contract = contrato_exemplo()
    path = contract.write(tmp_path / "contrato.pdf")
    llama.responder = contract.responder()
    fake_registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    extra = ["--structured", structured] if structured else []
    status, _ = in_process(
        "verify",
        str(path),
        "--json",
        "--base-url",
        llama.base_url,
        "--model",
        "smollm2",
        "--no-cache",
        *extra,
    )
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert json.loads(captured.out)["resultado_final"] == "APROVADO"
    assert [r["body"].get("response_format", {}).get("type") for r in llama.requests] == kinds


def test_bad_answer_settings_are_usage_errors(docs, model):
    for option, value in (("--timeout", "0"), ("--max-tokens", "0"), ("--structured", "xml")):
        run = vorlex("read", docs[0], "--ask", "x", option, value, env=model)
        assert run.returncode == 2 and option in run.stderr and "Traceback" not in run.stderr
