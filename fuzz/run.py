"""Runs the fuzz targets of this folder, each in its own process for a given time.

    python fuzz/run.py --seconds 600                 every target, ten minutes each
    python fuzz/run.py --seconds 60 cnpj safe_url    these targets
    python fuzz/run.py --jobs 2 --json results.json  two at a time, results as JSON
    python fuzz/run.py --sanitized --seconds 300     against the ASan/UBSan build
                                                      (SANITIZE_BUILD_ONLY=1 tools/sanitize.sh)

The package must be importable (PYTHONPATH=src for the development build). Per target
it prints the executions and coverage that libFuzzer reports; the exit status is 1
when a target failed (an uncaught exception, a crash, a hang, running out of memory),
with the input saved under fuzz/crashes/<target>/ (--artifacts) and the end of the
target's output shown.
"""

import argparse
import concurrent.futures
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ASAN_PKG = HERE.parent / "build" / "asan" / "pkg"
# Targets that read whole documents get room for PDFs; text targets grow from short inputs.
MAX_LEN = {"resolve_document": 65536, "document_metadata": 65536}
DEFAULT_MAX_LEN = 4096

# "#N DONE cov: X ft: Y corp: C/Sb ... exec/s: E"; without coverage feedback (the
# sanitizer build) libFuzzer leaves out cov and ft.
DONE = re.compile(r"^#(\d+)\s+DONE\s+(?:cov: (\d+) ft: (\d+) )?(?:corp: (\d+)/\S+)?.*?exec/s: (\d+)", re.M)
PROGRESS = re.compile(r"^#(\d+)\s+\w+\s+(?:cov: (\d+) ft: (\d+) )?(?:corp: (\d+)/\S+)?.*?exec/s: (\d+)", re.M)
STAT = re.compile(r"^stat::(\w+):\s+(\d+)", re.M)
FAILURES = [
    ("uncaught exception", "Uncaught Python exception"),
    ("timeout", "libFuzzer: timeout"),
    ("out of memory", "libFuzzer: out-of-memory"),
    ("crash", "libFuzzer: deadly signal"),
    ("sanitizer report", "ERROR: AddressSanitizer"),
    ("sanitizer report", ": runtime error: "),
]


def targets():
    return sorted(p.stem for p in HERE.glob("*.py") if not p.stem.startswith("_") and p.stem != "run")


def parse(output):
    """Executions and coverage from libFuzzer's output (the DONE line, else the last
    progress line, as a failed run has no DONE line)."""
    found = DONE.findall(output) or PROGRESS.findall(output)
    result = {"executions": 0, "cov": None, "ft": None, "corpus": None, "exec_per_s": None}
    if found:
        n, cov, ft, corp, eps = found[-1]
        result.update(
            executions=int(n),
            cov=int(cov) if cov else None,
            ft=int(ft) if ft else None,
            corpus=int(corp) if corp else None,
            exec_per_s=int(eps),
        )
    stats = dict(STAT.findall(output))
    if "number_of_executed_units" in stats:
        result["executions"] = max(result["executions"], int(stats["number_of_executed_units"]))
    return result


def run_target(name, args):
    artifacts = pathlib.Path(args.artifacts or HERE / "crashes") / name
    artifacts.mkdir(parents=True, exist_ok=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f"vorlex-fuzz-{name}-"))
    corpus = HERE / "corpus" / name if args.corpus else scratch / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    cmd = [
        sys.executable,
        str(HERE / f"{name}.py"),
        f"-max_total_time={args.seconds}",
        f"-timeout={args.timeout}",
        f"-rss_limit_mb={args.rss_limit}",
        f"-max_len={args.max_len or MAX_LEN.get(name, DEFAULT_MAX_LEN)}",
        "-print_final_stats=1",
        # Without coverage feedback the seeds and the given corpus would be dropped as
        # adding nothing: they are kept to be mutated.
        *(["-detect_leaks=0", "-keep_seed=1"] if args.sanitized else []),
        f"-artifact_prefix={artifacts}/",
        str(corpus),
    ]
    # A hang that libFuzzer's own alarm cannot end (the process stuck outside the
    # interpreter) is ended here: the run's time, a few inputs' time and the start.
    limit = args.seconds + 3 * args.timeout + 180
    started = time.monotonic()
    log = scratch / "output.txt"
    env = dict(os.environ)
    # The target runs in its scratch folder: relative import paths are made absolute.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p
        )
    if args.sanitized:
        env.update(sanitizer_env(env))
        if not preloaded():
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ASAN_PKG), env.get("PYTHONPATH")]))
    with open(log, "w+b") as out:
        proc = subprocess.Popen(
            cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=str(scratch), env=env
        )
        try:
            status = proc.wait(timeout=limit)
            hung = False
        except subprocess.TimeoutExpired:
            proc.kill()
            status = proc.wait()
            hung = True
        out.seek(0)
        output = out.read().decode("utf-8", "replace")
    result = {
        "target": name,
        "status": status,
        "seconds": round(time.monotonic() - started, 1),
        "sanitized": bool(args.sanitized),
    }
    result.update(parse(output))
    failure = None
    if hung:
        failure = f"hang (no end after {limit} s)"
    else:
        for kind, marker in FAILURES:
            if marker in output:
                failure = kind
                break
        if failure is None and status != 0:
            failure = f"exit status {status}"
    result["ok"] = failure is None and status == 0
    result["failure"] = failure
    if not result["ok"]:
        saved = re.findall(r"Test unit written to (\S+)", output)
        result["input"] = saved[-1] if saved else None
        result["tail"] = output[-6000:]
    shutil.rmtree(scratch, ignore_errors=True)
    return result


def preloaded():
    """Whether this runner already runs inside the sanitizer runtime (tools/sanitize.sh
    running the test suite): the package on the path is then the sanitizer build."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def sanitizer_env(env):
    """The runtime of the sanitizer build preloaded into the interpreter (as
    tools/sanitize.sh runs the tests), aborting on the first report. Leak checking is
    off: a fuzzing process keeps whatever the interpreter caches, and libFuzzer's leak
    check between inputs stops every thread of the process many times a second, which
    LeakSanitizer's tracer does not always survive. Options given by the caller (where
    reports go) are kept; these come after them and win."""

    def lib(name):
        # The compiler itself runs without the runtime, which would report its leaks.
        clean = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        return subprocess.run(
            ["gcc", f"-print-file-name={name}"], capture_output=True, text=True, check=True, env=clean
        ).stdout.strip()

    return {
        "PYTHONMALLOC": "malloc",
        "LD_PRELOAD": (env["LD_PRELOAD"] if preloaded() else f"{lib('libasan.so')} {lib('libubsan.so')}"),
        "ASAN_OPTIONS": ":".join(
            filter(
                None,
                [
                    env.get("ASAN_OPTIONS", "").strip(":"),
                    "detect_leaks=0:allocator_may_return_null=1:abort_on_error=1",
                ],
            )
        ),
        "UBSAN_OPTIONS": ":".join(
            filter(
                None,
                [
                    env.get("UBSAN_OPTIONS", "").strip(":"),
                    "print_stacktrace=1:halt_on_error=1:abort_on_error=1",
                ],
            )
        ),
    }


def describe(r):
    cov = "?" if r["cov"] is None else r["cov"]
    ft = "?" if r["ft"] is None else r["ft"]
    line = (
        f"{r['target']:<20} {'ok' if r['ok'] else 'FAILED':<7} executions={r['executions']} "
        f"cov={cov} ft={ft} corpus={r['corpus']} exec/s={r['exec_per_s']} "
        f"time={r['seconds']}s"
    )
    if not r["ok"]:
        line += f"\n  {r['failure']}; input: {r.get('input')}\n" + "\n".join(
            "  | " + tail_line for tail_line in r["tail"].splitlines()[-40:]
        )
    return line


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("targets", nargs="*", help=f"targets to run (default: all of {targets()})")
    parser.add_argument("--seconds", type=int, default=60, help="fuzzing time per target")
    parser.add_argument("--timeout", type=int, default=30, help="seconds one input may take")
    parser.add_argument("--rss-limit", type=int, default=2048, help="memory limit (MB) per target")
    parser.add_argument("--max-len", type=int, default=0, help="longest input (default per target)")
    parser.add_argument("--jobs", type=int, default=1, help="targets run at the same time")
    parser.add_argument(
        "--corpus", action="store_true", help="keep and grow fuzz/corpus/<target> instead of a fresh corpus"
    )
    parser.add_argument("--artifacts", help="folder for failing inputs (default fuzz/crashes)")
    parser.add_argument("--json", help="write the results to this file")
    parser.add_argument(
        "--sanitized",
        action="store_true",
        help="import the ASan/UBSan build in build/asan/pkg (tools/sanitize.sh); "
        "implied when this runner runs with the ASan runtime preloaded",
    )
    args = parser.parse_args(argv)
    args.sanitized = args.sanitized or preloaded()
    if args.sanitized and not preloaded() and not any(ASAN_PKG.glob("vorlex/utils.*.so")):
        parser.error(f"no sanitizer build in {ASAN_PKG}: run SANITIZE_BUILD_ONLY=1 tools/sanitize.sh")
    names = args.targets or targets()
    unknown = sorted(set(names) - set(targets()))
    if unknown:
        parser.error(f"unknown targets {unknown}; known: {targets()}")

    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        futures = {pool.submit(run_target, n, args): n for n in names}
        for fut in concurrent.futures.as_completed(futures):
            r = fut.result()
            results.append(r)
            print(describe(r), flush=True)
    results.sort(key=lambda r: names.index(r["target"]))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2))
    failed = [r["target"] for r in results if not r["ok"]]
    print(
        f"{len(results) - len(failed)} passed, {len(failed)} failed"
        + (f": {', '.join(failed)}" if failed else "")
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
