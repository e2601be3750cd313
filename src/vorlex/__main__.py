"""The `vorlex` command.

    vorlex read FILE... --ask PROMPT [--ask PROMPT ...] [--json] [--workers N]
                [--question-concurrency N]
    vorlex verify CONTRATO.pdf [--json]
    vorlex screen FILE
    vorlex cnpj NUMBER [--lookup] [--json]

Errors are one line on standard error and a non-zero exit status, never a traceback:
2 for a usage error, a missing file or missing model settings (a --base-url without
--model among them); for `read`, 1 when any
document failed; for `verify`, 0 APROVADO, 1 REPROVADO, 3 PENDENTE; for `screen` and
`cnpj`, 0 yes and 1 no (`cnpj --lookup`: 3 when the registry could not be asked); 130 when
interrupted (Ctrl-C), after what finished is printed.

Options become constructor arguments of the library's objects (the reader, the
checker, the OCR loader); the command reads the environment as the library does and
never writes it, so a program that calls main() keeps its own.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
from typing import Any, Literal, Sequence

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_PENDING = 3
EXIT_UNAVAILABLE = 3
EXIT_INTERRUPTED = 130
OK_STATUSES = ("OK", "NO_DATA")
# The library refuses a local server without a model by a ValueError beginning so; the
# command says it in its own options' names.
MODEL_REQUIRED = "model é obrigatório com base_url"
MODEL_REQUIRED_USAGE = (
    "--model é obrigatório com --base-url: o nome do modelo no servidor (por exemplo --model llama3.2:3b)"
)
COMMANDS = ("read", "verify", "screen", "cnpj")
MODEL_HELP = (
    "model settings come from the environment as for the library: OPENAI_API_KEY "
    "(or AZURE_API_KEY and AZURE_API_ENDPOINT, GOOGLE_API_KEY, XAI_API_KEY); "
    "--base-url (or VORLEX_BASE_URL) for a local OpenAI-compatible server; --model "
    "(or VORLEX_MODEL) names the model. "
    "Scanned pages are read on this machine by Tesseract when it is installed and "
    "no Azure AI Vision settings (AZURE_AI_VISION_KEY) are given; "
    "VORLEX_OCR_ENGINE=azure|tesseract chooses explicitly"
)


class CommandError(Exception):
    """A failure reported as one line, with the exit status to end with."""

    def __init__(self, message: str, status: int = EXIT_USAGE):
        super().__init__(message)
        self.status = status


def _error(message: str) -> None:
    print(f"vorlex: erro: {message}", file=sys.stderr)


def _is_url(text: str) -> bool:
    return text.lower().startswith(("http://", "https://"))


def _check_files(paths: Sequence[str]) -> None:
    # A directory, a FIFO or a device has no size to check and may never end (or begin)
    # reading: only regular files are documents.
    for path in paths:
        if _is_url(path):
            continue
        if not os.path.exists(path):
            raise CommandError(f"arquivo não encontrado: {path}")
        if not os.path.isfile(path):
            raise CommandError(f"não é um arquivo regular: {path}")


def _cache_path(args: argparse.Namespace) -> str | None:
    """The results file of the command line: on unless --no-cache, in the user's cache
    folder unless --cache names another."""
    if args.no_cache:
        return None
    if args.cache:
        return str(args.cache)
    import platformdirs

    return os.path.join(platformdirs.user_cache_dir("vorlex"), "results.sqlite")


def _local_ocr_engine() -> Literal["tesseract"] | None:
    """ "tesseract" when Tesseract is installed and no OCR engine or cloud OCR is
    configured (VORLEX_OCR_ENGINE, AZURE_AI_VISION_KEY): scans are then read on this
    machine. None leaves the choice to the library."""
    import shutil

    if os.environ.get("VORLEX_OCR_ENGINE") or os.environ.get("AZURE_AI_VISION_KEY"):
        return None
    return "tesseract" if shutil.which("tesseract") else None


def _settings_error(exc: Exception) -> CommandError:
    """A setting the library refused, as a usage error: a local server without a model
    (--base-url or VORLEX_BASE_URL, without --model or VORLEX_MODEL) in the command's
    words, anything else in the library's."""
    if str(exc).startswith(MODEL_REQUIRED):
        return CommandError(MODEL_REQUIRED_USAGE)
    return CommandError(str(exc))


def _answer_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The reader's keywords of --structured, --max-tokens and --timeout, when given."""
    kwargs: dict[str, Any] = {}
    if args.structured:
        kwargs["structured_output"] = args.structured
    if args.max_tokens:
        kwargs["max_tokens"] = args.max_tokens
    if args.timeout:
        kwargs["timeout"] = args.timeout
    return kwargs


def _reader(args: argparse.Namespace) -> Any:
    from vorlex import Vorlex
    from vorlex.exceptions import VorlexError

    kwargs: dict[str, Any] = {
        "provider": args.provider,
        "ocr_fallback": args.ocr,
        "cache_path": _cache_path(args),
        "question_concurrency": args.question_concurrency,
    }
    if args.model:
        kwargs["model"] = args.model
    if args.base_url:
        kwargs["base_url"] = args.base_url
    kwargs.update(_answer_settings(args))
    engine = _local_ocr_engine()
    if engine:
        kwargs["ocr_engine"] = engine
    try:
        return Vorlex(**kwargs)
    except (VorlexError, ValueError) as exc:  # missing settings, or a value outside its choices
        raise _settings_error(exc) from None


def _failure_of(result: Any) -> str | None:
    for r in result.results:
        if r.status not in OK_STATUSES:
            return f"{r.status}: {r.answer}"
    return None


def cmd_read(args: argparse.Namespace) -> int:
    from vorlex import Vorlex

    _check_files(args.documents)
    reader = _reader(args)
    for i, prompt in enumerate(args.ask, 1):
        if "{texto}" not in prompt:
            prompt = prompt.replace("{", "{{").replace("}", "}}") + "\n\n{texto}"
        try:
            reader.add_question(Vorlex.create_question(f"q{i}", f"Pergunta {i}", prompt))
        except ValueError as exc:  # braces str.format cannot read
            raise CommandError(f"--ask {prompt!r}: {exc}") from None
    batch = len(args.documents) > 1
    interrupted = False
    try:
        results = reader.process_batch(
            list(args.documents), max_workers=args.workers, show_progress=batch and not args.no_progress
        )
    except KeyboardInterrupt as exc:
        # Ctrl-C: what finished is still shown; the documents not started were cancelled.
        results = list(getattr(exc, "completed", []))
        interrupted = True
    if args.json:
        print(json.dumps([r.model_dump(mode="json") for r in results], ensure_ascii=False, indent=2))
    else:
        for res in results:
            print(f"== {res.document.filename}")
            for r in res.results:
                # An answer the token limit cut short is shown as such.
                status = (
                    f"{r.status}, truncada"
                    if r.status == "OK" and getattr(r, "finish_reason", None) == "length"
                    else r.status
                )
                print(f"  [{status}] {r.question_name}: {r.answer}")
    failed = 0
    for res in results:
        why = _failure_of(res)
        if why is not None:
            failed += 1
            print(f"vorlex: falha em {res.document.filename}: {why}", file=sys.stderr)
    # What this run spent: results served from the cache cost nothing now.
    spent = [r for r in results if not getattr(r, "from_cache", False)]
    tokens = sum(r.total_metrics.tokens for r in spent)
    cost = sum(r.total_metrics.cost_usd for r in spent)
    seconds = sum(r.total_metrics.time_seconds for r in spent)
    cached = len(results) - len(spent)
    print(
        f"{len(results)} documento(s), {failed} com falha"
        + (f", {cached} do cache" if cached else "")
        + f"; {tokens} tokens; custo US$ {cost:.4f}; {seconds:.1f} s",
        file=sys.stderr,
    )
    if interrupted:
        print(
            f"vorlex: interrompido; {len(args.documents) - len(results)} documento(s) sem resultado",
            file=sys.stderr,
        )
        sys.stdout.flush()
        sys.stderr.flush()
        # The model calls still in flight run on pool threads that the interpreter would
        # wait for on its way out: they are abandoned.
        os._exit(EXIT_INTERRUPTED)
    return EXIT_FAILED if failed else 0


def _check_pdf(path: str) -> None:
    """The contract must be a PDF that opens, before the checker prints its banner: a
    document that cannot be read is a usage error (2), not a rejected contract (1)."""
    if _is_url(path):
        return
    try:
        import pymupdf
    except ImportError:  # releases before the pymupdf name
        import fitz as pymupdf  # type: ignore[import-untyped, no-redef]

    try:
        with pymupdf.open(path) as doc:
            is_pdf = doc.is_pdf
    except Exception as exc:  # noqa: BLE001 - the PDF library's own error, or the file system's
        raise CommandError(f"documento ilegível: {path}: {exc}") from None
    if not is_pdf:
        raise CommandError(f"não é um PDF: {path}")


def _checker_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """The ContractChecker keywords of `verify`'s options. A local server (--base-url,
    else VORLEX_BASE_URL) needs no key: the checker's reader sends it a placeholder."""
    kwargs: dict[str, Any] = {"verbose": not args.json, "usar_ai_search": not args.no_ai_search}
    if args.model:
        kwargs["model"] = args.model
    kwargs.update(_answer_settings(args))
    if args.base_url:
        kwargs["base_url"] = args.base_url
    if not (
        args.base_url
        or any(os.environ.get(name) for name in ("VORLEX_BASE_URL", "OPENAI_API_KEY", "AZURE_API_KEY"))
    ):
        raise CommandError(
            "nenhuma chave de modelo configurada: defina OPENAI_API_KEY "
            "(ou AZURE_API_KEY e AZURE_API_ENDPOINT) ou use --base-url"
        )
    cache = _cache_path(args)
    if cache:
        kwargs["cache_path"] = cache
    engine = _local_ocr_engine()
    if engine:
        kwargs["ocr_engine"] = engine
    return kwargs


def cmd_verify(args: argparse.Namespace) -> int:
    _check_files([args.contract])
    _check_pdf(args.contract)
    kwargs = _checker_arguments(args)
    from vorlex.contract.checker import ContractChecker

    try:
        checker = ContractChecker(args.country, **kwargs)
    except ValueError as exc:
        if str(exc).startswith(MODEL_REQUIRED):
            raise CommandError(MODEL_REQUIRED_USAGE) from None
        raise
    result = checker.verificar(args.contract)
    if args.json:
        print(json.dumps(result, ensure_ascii=False, indent=2, default=str))
    verdict = result.get("resultado_final", "")
    # The checker remembers whether its reader could be built: a verification that never
    # reached the model is a settings problem, not a pending contract.
    if verdict == "PENDENTE" and checker._vorlex_available is False:
        raise CommandError("o leitor de documentos não pôde ser criado: verifique as configurações do modelo")
    return {"APROVADO": 0, "REPROVADO": EXIT_FAILED}.get(verdict, EXIT_PENDING)


def _document_text(path: str) -> str:
    import vorlex.utils as utils
    from vorlex.ocr import process_pdf_smart

    engine = _local_ocr_engine()
    with open(path, "rb") as fh:
        data = fh.read()
    try:
        pdf = utils.ensure_pdf_bytes(data)
        pages = process_pdf_smart(pdf, filename=os.path.basename(path), ocr_engine=engine)
    except Exception as exc:  # noqa: BLE001 - the PDF library's own error: a bad document
        raise CommandError(f"documento ilegível: {path}: {exc}", EXIT_USAGE) from None
    return "\n".join(p.text for p in pages)


def cmd_screen(args: argparse.Namespace) -> int:
    from vorlex.contract.countries.br.keywords import validar_documento_contrato

    _check_files([args.document])
    text = _document_text(args.document)
    is_contract, count, found = validar_documento_contrato(text)
    if args.json:
        print(
            json.dumps(
                {"eh_contrato": is_contract, "quantidade": count, "keywords_encontradas": found},
                ensure_ascii=False,
            )
        )
    else:
        print(f"Contrato: {'sim' if is_contract else 'não'} ({count} palavra(s)-chave)")
        if found:
            print("Palavras-chave: " + ", ".join(found))
        if not text.strip():
            print("Documento sem texto extraível (digitalizado?)", file=sys.stderr)
    return 0 if is_contract else EXIT_FAILED


def cmd_cnpj(args: argparse.Namespace) -> int:
    from vorlex.contract.countries.br import cnpj as cnpj_mod

    number = args.number
    numeric = cnpj_mod.limpar_cnpj(number)
    if len(numeric) == 14 and cnpj_mod.validar_cnpj(number):
        valid, formatted = True, cnpj_mod.formatar_cnpj(number)
    else:
        valid = cnpj_mod.validar_cnpj_alfanumerico(number)
        formatted = cnpj_mod.formatar_cnpj_alfanumerico(number) if valid else number
    record = failure = None
    if valid and args.lookup:
        record = cnpj_mod.consultar_cnpj(number)
        failure = cnpj_mod.falha_ultima_consulta() if record is None else None
    if args.json:
        out: dict[str, Any] = {"valido": valid, "cnpj": formatted}
        if valid and args.lookup:
            out.update(encontrado=record is not None, registro=record, falha=failure)
        print(json.dumps(out, ensure_ascii=False, indent=2, default=str))
    elif not valid:
        print(f"CNPJ inválido: {number}")
    else:
        print(f"CNPJ válido: {formatted}")
    if not valid:
        return EXIT_FAILED
    if args.lookup:
        if record is None:
            if failure:
                _error(f"CNPJ {formatted}: registro indisponível ({failure})")
                return EXIT_UNAVAILABLE
            _error(f"CNPJ {formatted} não encontrado no cadastro")
            return EXIT_FAILED
        if not args.json:
            print(json.dumps(record, ensure_ascii=False, indent=2, default=str))
    return 0


def _cache_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument(
        "--cache",
        metavar="PATH",
        help="results file (SQLite; default: results.sqlite in the user's "
        "cache folder): a document already read is not sent again",
    )
    group.add_argument("--no-cache", action="store_true", help="no results file")


def _version() -> str:
    from vorlex import __version__

    return __version__


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"não é um número inteiro: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"deve ser 1 ou mais: {value}")
    return value


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"não é um número de segundos: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"deve ser maior que 0: {text}")
    return value


def _model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--structured",
        choices=["auto", "json_schema", "json_object", "prompt"],
        help="how structured answers are asked for (default auto: json_schema, "
        "then json_object, then the schema in the prompt, as the server "
        "accepts)",
    )
    parser.add_argument(
        "--max-tokens", type=_positive_int, metavar="N", help="most tokens per answer (default: the server's)"
    )
    parser.add_argument(
        "--timeout",
        type=_positive_seconds,
        metavar="SECONDS",
        help="seconds to wait for each model answer (default 120)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorlex",
        description="Read documents with large language models and check Brazilian contracts.",
        epilog=MODEL_HELP,
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="log the library's steps")
    parser.add_argument("--version", action="version", version=f"vorlex {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    read = sub.add_parser("read", help="ask questions about documents", epilog=MODEL_HELP)
    read.add_argument("documents", nargs="+", metavar="FILE", help="PDF or image paths, or http(s) URLs")
    read.add_argument(
        "--ask",
        action="append",
        required=True,
        metavar="PROMPT",
        help="a question; {texto} marks where the document text goes (appended when absent); repeatable",
    )
    read.add_argument("--json", action="store_true", help="print the result records as JSON")
    read.add_argument(
        "--workers", type=_positive_int, default=None, metavar="N", help="documents read at once (1 or more)"
    )
    read.add_argument(
        "--question-concurrency",
        type=_positive_int,
        default=4,
        metavar="N",
        help="questions of one document asked at once (default 4)",
    )
    read.add_argument("--base-url", metavar="URL", help="an OpenAI-compatible server (Ollama, vLLM)")
    read.add_argument(
        "--model", metavar="M", help="model name (as the server names it; required with --base-url)"
    )
    read.add_argument("--provider", choices=["openai", "azure", "google", "grok"])
    read.add_argument(
        "--ocr",
        choices=["off", "auto", "force"],
        default="off",
        help="vision-model fallback for scanned pages",
    )
    read.add_argument("--no-progress", action="store_true", help="no progress bar")
    _model_arguments(read)
    _cache_arguments(read)
    read.set_defaults(run=cmd_read)

    verify = sub.add_parser(
        "verify", help="check a Brazilian contract against the company registry", epilog=MODEL_HELP
    )
    verify.add_argument("contract", metavar="CONTRATO.pdf")
    verify.add_argument("--json", action="store_true", help="print the result mapping as JSON")
    verify.add_argument("--country", default="BR", help=argparse.SUPPRESS)
    verify.add_argument("--base-url", metavar="URL", help="an OpenAI-compatible server")
    verify.add_argument("--model", metavar="M", help="model name (required with --base-url)")
    _model_arguments(verify)
    verify.add_argument(
        "--no-ai-search",
        action="store_true",
        help="no model-assisted CNPJ search for companies without a number",
    )
    _cache_arguments(verify)
    verify.set_defaults(run=cmd_verify)

    screen = sub.add_parser(
        "screen", help="does the document read like a contract? (offline)", epilog=MODEL_HELP
    )
    screen.add_argument("document", metavar="FILE")
    screen.add_argument("--json", action="store_true")
    screen.set_defaults(run=cmd_screen)

    cnpj = sub.add_parser("cnpj", help="validate and format a CNPJ (offline); --lookup asks the registry")
    cnpj.add_argument("number", metavar="NUMBER")
    cnpj.add_argument("--lookup", action="store_true", help="look the company up in the registry")
    cnpj.add_argument(
        "--json",
        action="store_true",
        help="one JSON object: valido, cnpj, and with --lookup encontrado, registro, falha",
    )
    cnpj.set_defaults(run=cmd_cnpj)
    return parser


class _OneLineFormatter(logging.Formatter):
    """The library's warnings as single lines: tracebacks only with --verbose."""

    def format(self, record: logging.LogRecord) -> str:
        record = logging.makeLogRecord(record.__dict__)
        record.exc_info = None
        record.exc_text = None
        record.stack_info = None
        return super().format(record)


def _configure_logging(verbose: bool) -> None:
    handler = logging.StreamHandler(sys.stderr)
    if verbose:
        handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
    else:
        handler.setFormatter(_OneLineFormatter("%(message)s"))
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(logging.INFO if verbose else logging.WARNING)
    # A failed document is the command's own one line; the reader's per-question
    # warnings behind it only with -v.
    logging.getLogger("vorlex.reader").setLevel(logging.NOTSET if verbose else logging.ERROR)


def main(argv: Sequence[str] | None = None) -> int:
    args_list = list(sys.argv[1:] if argv is None else argv)
    # The first releases took documents directly: `vorlex FILE --ask ...` still reads.
    if args_list and args_list[0] not in COMMANDS and not args_list[0].startswith("-"):
        args_list.insert(0, "read")
    parser = build_parser()
    args = parser.parse_args(args_list)
    _configure_logging(args.verbose)
    try:
        return int(args.run(args))
    except CommandError as exc:
        _error(str(exc))
        return exc.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:  # noqa: BLE001 - anything the library raises reaches the user as one line
        _error(f"{type(exc).__name__}: {exc}")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
