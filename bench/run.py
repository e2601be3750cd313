"""Run every benchmark in this folder: python bench/run.py [name ...]

Each bench_<area>.py measures a Vorlex operation against its baseline in the same
process and prints `name: ratio` lines.
"""

import importlib.util
import pathlib
import sys


def main(argv):
    here = pathlib.Path(__file__).resolve().parent
    wanted = set(argv)
    for path in sorted(here.glob("bench_*.py")):
        area = path.stem[len("bench_") :]
        if wanted and area not in wanted:
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"== {area}", flush=True)
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
