"""A linear system over GF(2) grown one equation at a time.

Equations arrive one by one. Each is appended to the system and worked into
the rows already reduced by echelon_form_last_row, which is built for one
layout: n rows of width n (here the unknowns plus the right-hand side,
starting from n zero rows), one appended equation, then the leftover last row
dropped. Row i of the system is then either zero or has its leading one in
column i, so the rank grows exactly when an equation brings something new; an
equation that reduces to 0 = 1 lands in the last row, the right-hand side's.
"""
from zendrik import Matrix

UNKNOWNS = "abcde"
EQUATIONS = [
    "a + b = 1",
    "b + c = 0",
    "a + c = 1",
    "c + d + e = 1",
    "b + d = 1",
    "a + d = 0",
    "e = 0",
    "d + e = 1",
    "a + b + c + d + e = 0",
    "a + e = 0",
]
WIDTH = len(UNKNOWNS) + 1
RHS = WIDTH - 1


def parse(equation):
    left, right = equation.split("=")
    row = [0] * WIDTH
    for name in left.split("+"):
        row[UNKNOWNS.index(name.strip())] ^= 1
    row[RHS] = int(right)
    return row


def solve(system):
    """The values of the unknowns, once every one is determined."""
    reduced, _ = system.echelon_form()
    return {UNKNOWNS[i]: row[RHS] for i, row in enumerate(reduced.to_list()[:len(UNKNOWNS)])}


system = Matrix([[0] * WIDTH for _ in range(WIDTH)])
for number, equation in enumerate(EQUATIONS, 1):
    before = system.rank()
    consistent = system.is_zero_row(RHS)
    system.append_row(parse(equation))
    grown, log = system.echelon_form_last_row()
    assert grown.is_zero_row(WIDTH), "in this layout the leftover last row is zero"
    system = Matrix(grown.to_list()[:WIDTH])
    rank = system.rank()
    if rank == before:
        verdict = f"dependent on earlier equations, rank stays {rank}"
    elif consistent and not system.is_zero_row(RHS):
        verdict = "contradicts earlier equations (it reduces to 0 = 1)"
    else:
        verdict = f"new, rank {rank}"
    entries = "log entry:  " if len(log) == 1 else "log entries:"
    print(f"{number:2}. {equation:<22} {len(log):2} {entries} {verdict}")
    if consistent and system.is_zero_row(RHS) and rank == len(UNKNOWNS) > before:
        values = solve(system)
        print("    every unknown is determined: "
              + ", ".join(f"{name} = {value}" for name, value in values.items()))
