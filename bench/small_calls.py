"""Small calls of two builds of the module, timed in one process, as ratios.

    python bench/small_calls.py BEFORE.so AFTER.so [--rounds N]

Each build is loaded from its file; the rounds alternate between the builds,
and which goes first, so that what the machine does meanwhile weighs on both
alike. A ratio above 1 means
that the second build is slower; the median of the rounds is reported.
"""
import argparse
import importlib.machinery
import importlib.util
import statistics
import timeit


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("zendrik", path)
    spec = importlib.util.spec_from_file_location("zendrik", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def cases(module, n=4):
    m = module.Matrix([[(i + j) % 2 for j in range(n)] for i in range(n)])
    return {
        "get": lambda: m.get(1, 2),
        "add_rows": lambda: m.add_rows(0, 1),
        "to_list": lambda: m.to_list(),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--calls", type=int, default=20_000)
    args = parser.parse_args()
    builds = [cases(load(args.before)), cases(load(args.after))]
    times = {name: ([], []) for name in builds[0]}
    for round in range(args.rounds):
        for name in times:
            # Which build goes first alternates too.
            for index in (0, 1) if round % 2 == 0 else (1, 0):
                seen = timeit.timeit(builds[index][name], number=args.calls) / args.calls
                times[name][index].append(seen)
    print(f"{'call':10} {'before ns':>10} {'after ns':>10} {'ratio':>7}")
    for name, (before, after) in times.items():
        ratios = [b / a for a, b in zip(before, after)]
        print(f"{name:10} {statistics.median(before) * 1e9:10.1f} "
              f"{statistics.median(after) * 1e9:10.1f} {statistics.median(ratios):7.3f}")


main()
