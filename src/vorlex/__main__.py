"""Command-line front end: vorlex DOCUMENT --ask "question about {texto}" [...]"""

import argparse
import json
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(prog="vorlex", description="Ask questions about documents.")
    parser.add_argument("documents", nargs="+", help="PDF or image paths, or http(s) URLs")
    parser.add_argument("--ask", action="append", required=True, metavar="PROMPT",
                        help="a question; {texto} marks where the document text goes "
                             "(appended when absent); repeatable")
    parser.add_argument("--provider", help="openai, azure, google or grok")
    parser.add_argument("--model", help="model name")
    parser.add_argument("--workers", type=int, default=None, help="parallel documents")
    parser.add_argument("--ocr", choices=["off", "auto", "force"], default="off")
    parser.add_argument("--json", action="store_true", help="print results as JSON")
    args = parser.parse_args(argv)

    from vorlex import Vorlex

    kwargs = {"provider": args.provider, "ocr_fallback": args.ocr}
    if args.model:
        kwargs["model"] = args.model
    reader = Vorlex(**kwargs)
    for i, prompt in enumerate(args.ask, 1):
        if "{texto}" not in prompt:
            prompt = prompt.replace("{", "{{").replace("}", "}}") + "\n\n{texto}"
        reader.add_question(Vorlex.create_question(f"q{i}", f"Pergunta {i}", prompt))
    results = reader.process_batch(args.documents, max_workers=args.workers)
    if args.json:
        print(json.dumps([r.model_dump(mode="json") for r in results], ensure_ascii=False, indent=2))
        return 0
    for res in results:
        print(f"== {res.document.filename}")
        for r in res.results:
            print(f"  [{r.status}] {r.question_name}: {r.answer}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
