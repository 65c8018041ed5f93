"""Lights Out, and a secret learnt one parity at a time, solved over GF(2).

Pressing a light toggles it and its four neighbours; a board is solved when
every light is off. Pressing twice undoes a press, so a solution is a set of
presses x with A x = b over GF(2), where column j of A is the pattern that
press j toggles and b is the board.
"""
import random

from zendrik import Matrix

SIZE = 5
CELLS = SIZE * SIZE


def press_pattern(cell):
    row, col = divmod(cell, SIZE)
    lit = [0] * CELLS
    for r, c in ((row, col), (row - 1, col), (row + 1, col), (row, col - 1), (row, col + 1)):
        if 0 <= r < SIZE and 0 <= c < SIZE:
            lit[r * SIZE + c] = 1
    return lit


def leading_one(row):
    return row.index(1) if 1 in row else None


def solve(equations, width):
    """One solution of the system [A | b] (free unknowns set to 0), or None."""
    reduced, _ = Matrix(equations).echelon_form()
    solution = [0] * width
    for row in reduced.to_list():
        pivot = leading_one(row)
        if pivot == width:
            return None  # the row reads 0 = 1
        if pivot is not None:
            solution[pivot] = row[width]
    return solution


def show(cells):
    return "\n".join(" ".join("#" if cells[r * SIZE + c] else "." for c in range(SIZE))
                     for r in range(SIZE))


random.seed(7)
toggles = Matrix([press_pattern(cell) for cell in range(CELLS)])  # symmetric: A = A^T
presses = [random.randint(0, 1) for _ in range(CELLS)]
board = [sum(presses[j] * press_pattern(j)[i] for j in range(CELLS)) % 2 for i in range(CELLS)]
print(f"A {SIZE}x{SIZE} board:\n{show(board)}\n")

augmented = toggles.copy()
augmented.append_column(board)
solution = solve(augmented.to_list(), CELLS)
after = [(board[i] + sum(solution[j] * press_pattern(j)[i] for j in range(CELLS))) % 2
         for i in range(CELLS)]
assert not any(after), "the presses leave a light on"
print(f"Press these lights to turn every light off:\n{show(solution)}\n")

reduced, log = toggles.echelon_form()
quiet = reduced.kernel()
print(f"The press matrix has rank {reduced.rank()} of {CELLS} ({len(log)} row additions to "
      f"reduce it), so {2 ** len(quiet)} press patterns change nothing; one of them:\n"
      f"{show(quiet[0])}\n")

# A hidden secret is learnt from parities of random subsets of its bits. Each
# answer is one equation [a | a.s]; the system grows one equation at a time, kept
# reduced by echelon_form_last_row in the layout it works on: as many rows as
# columns, each new equation appended as the last row and worked into the rest.
BITS = 12
secret = [random.randint(0, 1) for _ in range(BITS)]
width = BITS + 1
system = Matrix([[0] * width for _ in range(width)])
asked = 0
while system.rank() < BITS:
    subset = [random.randint(0, 1) for _ in range(BITS)]
    parity = sum(a * s for a, s in zip(subset, secret)) % 2
    before = system.rank()
    system.append_row(subset + [parity])
    grown, _ = system.echelon_form_last_row()
    rows = grown.to_list()
    assert not any(rows[-1]), "the leftover last row is always zero"
    system = Matrix(rows[:-1])
    asked += 1
    if system.rank() == before:
        print(f"question {asked}: dependent on the earlier ones, nothing learnt")

learnt = solve(system.to_list(), BITS)
print(f"Learnt the {BITS}-bit secret from {asked} parities: "
      f"{''.join(map(str, learnt))} ({'correct' if learnt == secret else 'WRONG'})")
