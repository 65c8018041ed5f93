"""Small calls of two builds of the module, timed in one process, as ratios.

    python bench/small_calls.py BEFORE.so AFTER.so [--rounds N]

Each build is loaded from its file; the rounds alternate between the builds,
and which goes first, so that what the machine does meanwhile weighs on both
alike. A ratio above 1 means that the second build is slower; the median of
the rounds is reported. For the reductions of random n x n matrices, the
time per entry of the log is given too, beside the cheapest way CPython has
to make a list of as many pairs, `list(zip(targets, sources))`: the floor
that making the log sets.
"""
import argparse
import importlib.machinery
import importlib.util
import random
import statistics
import timeit

SIZES = (8, 16, 32, 64)


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("zendrik", path)
    spec = importlib.util.spec_from_file_location("zendrik", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def cases(module, n=4):
    """name: (call, entries of its log or None)."""
    m = module.Matrix([[(i + j) % 2 for j in range(n)] for i in range(n)])
    found = {"get": (lambda: m.get(1, 2), None), "add_rows": (lambda: m.add_rows(0, 1), None),
             "to_list": (lambda: m.to_list(), None)}
    for size in SIZES:
        rng = random.Random(size)
        square = module.Matrix([[rng.randrange(2) for _ in range(size)] for _ in range(size)])
        found[f"echelon_form n={size}"] = (square.echelon_form, len(square.echelon_form()[1]))
    return found


def floors(module):
    """list(zip(targets, sources)) of the logs of the reductions above."""
    found = {}
    for name, (call, entries) in cases(module).items():
        if entries is not None:
            targets, sources = map(list, zip(*call()[1]))
            found[name] = (lambda t=targets, s=sources: list(zip(t, s)), entries)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--calls", type=int, default=20_000)
    args = parser.parse_args()
    builds = [cases(load(args.before)), cases(load(args.after))]
    floor = floors(load(args.after))
    times = {name: ([], [], []) for name in builds[0]}
    for round in range(args.rounds):
        for name, seen in times.items():
            calls = args.calls // (builds[0][name][1] or 1) + 1
            # Which build goes first alternates too.
            for index in (0, 1) if round % 2 == 0 else (1, 0):
                seen[index].append(timeit.timeit(builds[index][name][0], number=calls) / calls)
            if name in floor:
                seen[2].append(timeit.timeit(floor[name][0], number=calls) / calls)
    print(f"{'call':22} {'before ns':>10} {'after ns':>10} {'ratio':>6}   per entry: "
          f"{'before':>6} {'after':>6} {'list(zip)':>9}")
    for name, (before, after, zipped) in times.items():
        ratios = [b / a for a, b in zip(before, after)]
        line = (f"{name:22} {statistics.median(before) * 1e9:10.1f} "
                f"{statistics.median(after) * 1e9:10.1f} {statistics.median(ratios):6.3f}")
        entries = builds[0][name][1]
        if entries:
            line += "   " + " ".join(f"{statistics.median(t) * 1e9 / entries:{w}.1f}"
                                     for t, w in ((before, 17), (after, 6), (zipped, 9)))
        print(line)


main()
