"""The Hamming(7,4) code: its 16 codewords from the kernel of the parity-check
matrix, and single-error correction by syndrome.

Column j of the parity-check matrix H is j + 1 written in binary, top row the
highest bit. A word c is a codeword when H c = 0 over GF(2), so the codewords
are the null space of H. A single flipped bit at position j makes H r equal to
column j, which reads as the number j + 1: the syndrome names the bad bit.
"""
from itertools import product

from zendrik import Matrix

N, K = 7, 4
H = [[(j + 1) >> bit & 1 for j in range(N)] for bit in (2, 1, 0)]


def syndrome(word):
    return sum((sum(h * w for h, w in zip(row, word)) % 2) << (2 - i) for i, row in enumerate(H))


def bits(word):
    return "".join(map(str, word))


def steps(log):
    """The log told as a person would: an exchange of two rows is logged as the
    three additions (a, b), (b, a), (a, b)."""
    exchanges = additions = 0
    i = 0
    while i < len(log):
        a, b = log[i]
        if log[i:i + 3] == [(a, b), (b, a), (a, b)]:
            exchanges, i = exchanges + 1, i + 3
        else:
            additions, i = additions + 1, i + 1
    told = [f"{count} {name}{'s' if count != 1 else ''}"
            for count, name in ((exchanges, "row exchange"), (additions, "row addition")) if count]
    return " and ".join(told) or "nothing"


reduced, log = Matrix(H).echelon_form()
basis = reduced.kernel()
print(f"H reduced to rank {reduced.rank()} by {steps(log)} (log {log}): {reduced}")
print(f"kernel basis ({len(basis)} vectors):")
for vector in basis:
    print(" ", bits(vector))

# The kernel has one vector per column without a pivot, holding 1 there and 0
# at the other such columns: those columns carry the message unchanged.
pivots = {row.index(1) for row in reduced.to_list() if 1 in row}
free = [j for j in range(N) if j not in pivots]
codewords = sorted(
    [sum(m * v[j] for m, v in zip(message, basis)) % 2 for j in range(N)]
    for message in product((0, 1), repeat=K))
assert all(syndrome(c) == 0 for c in codewords)
distance = min(sum(a != b for a, b in zip(c, d)) for c in codewords for d in codewords if c != d)
print(f"{len(codewords)} codewords, minimum distance {distance}:")
for row in range(0, len(codewords), 4):
    print("  " + "  ".join(bits(c) for c in codewords[row:row + 4]))

message = [1, 0, 1, 1]
sent = [sum(m * v[j] for m, v in zip(message, basis)) % 2 for j in range(N)]
print(f"message {bits(message)} is sent as {bits(sent)} (data in columns {free})")
for flipped in range(N):
    received = sent.copy()
    received[flipped] ^= 1
    s = syndrome(received)
    corrected = received.copy()
    if s:
        corrected[s - 1] ^= 1
    decoded = [corrected[j] for j in free]
    assert corrected == sent and decoded == message
    print(f"  bit {flipped} flipped: received {bits(received)}, syndrome {s:03b}, "
          f"corrected {bits(corrected)}, message {bits(decoded)}")
