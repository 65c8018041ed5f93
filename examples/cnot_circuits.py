"""CNOT circuits for parity maps, each checked against its map.

A circuit of CNOT gates on n qubits (or bits) maps the basis state x to A x,
for an invertible n x n matrix A over GF(2): a CNOT with control c and target
t adds bit c into bit t. Read the other way, any invertible A has such a
circuit, and the log of one reduction gives it: the log of echelon_form of A
transposed is a list of (control, target) pairs, first gate first, whose
circuit maps x to A x exactly. The log of A itself serves too, read backwards
with each pair turned around.

The maps: a random invertible one, a permutation (the qubits of a line in
reverse order, as a quantum Fourier transform leaves them), the parity checks
of the Hamming(7,4) code computed into three ancilla qubits (syndrome
extraction), and the parity basis of fermionic simulation, where qubit i holds
the parity of modes 0 to i. Every circuit is run on all 2**n inputs and must
give A x for each. Each is printed in stim's text format as well.
"""
import random

from zendrik import Matrix


def cnot_circuit(A):
    """(control, target) pairs, first gate first, whose circuit maps x to A x;
    None when A has no inverse."""
    reduced, log = Matrix(list(zip(*A))).echelon_form()
    return log if reduced.rank() == len(A) else None


def reversed_log_circuit(A):
    """The same from the log of A: read backwards, each pair turned around."""
    log = Matrix(A).echelon_form()[1]
    return [(source, target) for target, source in reversed(log)]


def depth(circuit, n):
    """Layers of gates on disjoint qubits, each gate as early as it can go."""
    layer = [0] * n
    for control, target in circuit:
        layer[control] = layer[target] = max(layer[control], layer[target]) + 1
    return max(layer, default=0)


def run(circuit, x):
    """The circuit on the input x, an int whose bit i is qubit i."""
    for control, target in circuit:
        x ^= (x >> control & 1) << target
    return x


def times(A, x):
    """A x over GF(2), x and the result as ints whose bit i is element i."""
    return sum((bin(sum(bit << j for j, bit in enumerate(row)) & x).count("1") & 1) << i
               for i, row in enumerate(A))


def random_invertible(n, rng):
    while True:
        A = [[rng.randrange(2) for _ in range(n)] for _ in range(n)]
        if Matrix(A).echelon_form()[0].rank() == n:
            return A


def reversal(n):
    return [[int(j == n - 1 - i) for j in range(n)] for i in range(n)]


def syndrome_extraction():
    """7 data qubits, then 3 ancillas; ancilla k gains parity check k of the
    Hamming(7,4) code, whose column j is j + 1 in binary."""
    data, checks = 7, 3
    n = data + checks
    A = [[int(i == j) for j in range(n)] for i in range(n)]
    for k in range(checks):
        for j in range(data):
            A[data + k][j] = (j + 1) >> (checks - 1 - k) & 1
    return A


def parity_basis(n):
    return [[int(j <= i) for j in range(n)] for i in range(n)]


def stim_text(circuit):
    return "CX " + " ".join(f"{control} {target}" for control, target in circuit)


def parity_maps():
    """(name, A) for each map."""
    return [("random invertible 8 x 8", random_invertible(8, random.Random(2026))),
            ("6 qubits of a line reversed", reversal(6)),
            ("Hamming(7,4) syndrome into 3 ancillas", syndrome_extraction()),
            ("parity basis of 8 modes", parity_basis(8))]


def main():
    for name, A in parity_maps():
        n = len(A)
        circuit, also = cnot_circuit(A), reversed_log_circuit(A)
        print(f"{name}: {len(circuit)} CNOTs, depth {depth(circuit, n)} "
              f"(from the log of A reversed: {len(also)} CNOTs, depth {depth(also, n)})")
        for row in A:
            print("  " + "".join(map(str, row)))
        print(f"  {stim_text(circuit)}")
        right = all(run(circuit, x) == run(also, x) == times(A, x) for x in range(2 ** n))
        print(f"  all {2 ** n} inputs, through either circuit, give A x: {'yes' if right else 'NO'}")
    print("a matrix without inverse has no circuit:", cnot_circuit([[1, 1], [1, 1]]))


if __name__ == "__main__":
    main()
