"""The toric code's logical operators, from its two check matrices.

The toric code on an L x L torus is the product of two cyclic repetition codes:
with H the L x L check matrix of the repetition code on a cycle (bit i equals
bit i + 1), its X checks are HX = [H (x) I | I (x) H^T] and its Z checks
HZ = [I (x) H | H^T (x) I] over 2 L^2 qubits, where (x) is the Kronecker
product. Every X check meets every Z check in an even number of qubits.

A logical Z operator is a Z-type operator that commutes with every X check
(a vector in the kernel of HX) without being a product of Z checks (not in the
row space of HZ); logical X operators likewise swap the roles. The number of
encoded qubits is n - rank HX - rank HZ.
"""
from itertools import product

from zendrik import Matrix


def repetition_checks(size):
    return [[int(j in (i, (i + 1) % size)) for j in range(size)] for i in range(size)]


def identity(size):
    return [[int(i == j) for j in range(size)] for i in range(size)]


def transpose(a):
    return [list(column) for column in zip(*a)]


def kron(a, b):
    return [[x * y for x in row_a for y in row_b] for row_a in a for row_b in b]


def beside(a, b):
    return [left + right for left, right in zip(a, b)]


def toric_checks(size):
    h, i = repetition_checks(size), identity(size)
    return beside(kron(h, i), kron(i, transpose(h))), beside(kron(i, h), kron(transpose(h), i))


def rank(rows):
    return Matrix(rows).echelon_form()[0].rank()


def kernel(rows):
    return Matrix(rows).echelon_form()[0].kernel()


def logicals(checks, stabilizers):
    """Kernel vectors of `checks` independent modulo the row space of `stabilizers`."""
    span, found = [list(row) for row in stabilizers], []
    for vector in kernel(checks):
        if rank(span + [vector]) > rank(span):
            span.append(vector)
            found.append(vector)
    return found


def as_int(vector):
    return int("".join(map(str, vector)), 2)


def span_of(rows):
    """Every sum of the rows, as ints."""
    masks = [as_int(row) for row in rows]
    sums = {0}
    for mask in masks:
        sums |= {s ^ mask for s in sums}
    return sums


def lightest(checks, stabilizers, count):
    """`count` logical operators of least weight, independent modulo the stabilizers."""
    width = len(checks[0])
    covered = span_of(stabilizers)
    chosen = []
    for mask in sorted(span_of(kernel(checks)) - covered,
                       key=lambda mask: (bin(mask).count("1"), -mask)):
        if mask not in covered and len(chosen) < count:
            chosen.append(mask)
            covered |= {c ^ mask for c in covered}
    return [[int(bit) for bit in f"{mask:0{width}b}"] for mask in chosen]


def picture(vector, letter, size):
    """The two blocks of qubits, side by side, as size x size grids."""
    half = size * size
    lines = []
    for r in range(size):
        left = vector[r * size:(r + 1) * size]
        right = vector[half + r * size:half + (r + 1) * size]
        lines.append("    " + " ".join(letter if q else "." for q in left)
                     + "   " + " ".join(letter if q else "." for q in right))
    return "\n".join(lines)


for size in (2, 3, 4, 5):
    hx, hz = toric_checks(size)
    n = len(hx[0])
    assert all(sum(x * z for x, z in zip(rx, rz)) % 2 == 0 for rx in hx for rz in hz)
    z_ops, x_ops = logicals(hx, hz), logicals(hz, hx)
    print(f"L = {size}: n = {n} qubits, rank HX = {rank(hx)}, rank HZ = {rank(hz)}, "
          f"k = {n - rank(hx) - rank(hz)} encoded qubits; "
          f"{len(z_ops)} logical Z and {len(x_ops)} logical X operators found")

SIZE = 3
hx, hz = toric_checks(SIZE)
z_ops, x_ops = lightest(hx, hz, 2), lightest(hz, hx, 2)
print(f"\nL = {SIZE}: the lightest logical operators, each block of qubits as a grid")
for name, ops, letter in (("Z", z_ops, "Z"), ("X", x_ops, "X")):
    for number, op in enumerate(ops, 1):
        print(f"  logical {name}{number}, weight {sum(op)}:")
        print(picture(op, letter, SIZE))
print("  the code distance is the least weight: "
      f"{min(sum(op) for op in z_ops + x_ops)}")
print("  which logical Z anticommutes with which logical X (1: they do):")
for z in z_ops:
    print("   ", [sum(a * b for a, b in zip(z, x)) % 2 for x in x_ops])
