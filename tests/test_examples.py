"""Every program under examples/ runs and prints exactly its recorded output."""
import pathlib
import runpy
import subprocess
import sys

import pytest
from helpers import time_limit

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted(p.stem for p in (ROOT / "examples").glob("*.py"))


def test_every_example_has_recorded_output():
    assert EXAMPLES == sorted(p.stem for p in (ROOT / "tests" / "expected").glob("*.txt"))


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_output(name):
    done = subprocess.run([sys.executable, str(ROOT / "examples" / f"{name}.py")],
                          capture_output=True, text=True, timeout=time_limit(120))
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout == (ROOT / "tests" / "expected" / f"{name}.txt").read_text()


def qiskit_map(n, circuit):
    from qiskit import QuantumCircuit
    from qiskit.circuit.library import LinearFunction
    program = QuantumCircuit(n)
    for control, target in circuit:
        program.cx(control, target)
    return LinearFunction(program).linear.astype(int).tolist()


def stim_map(n, circuit):
    """Column j is where the tableau sends the X of qubit j."""
    import stim
    gates = stim.Circuit()
    gates.append("CX", [qubit for gate in circuit for qubit in gate])
    assert gates == stim.Circuit("CX " + " ".join(f"{c} {t}" for c, t in circuit))   # its text format
    tableau = stim.Tableau.from_circuit(stim.Circuit(f"I {n - 1}") + gates)   # every qubit, touched or not
    return [[int(tableau.x_output(j)[i] == 1) for j in range(n)] for i in range(n)]


@pytest.mark.parametrize("peer_map", [qiskit_map, stim_map], ids=["qiskit", "stim"])
def test_cnot_circuits_as_peers_see_them(peer_map):
    """The circuits of cnot_circuits.py, built in qiskit or stim (where installed), are their maps."""
    pytest.importorskip(peer_map.__name__.removesuffix("_map"))
    example = runpy.run_path(str(ROOT / "examples" / "cnot_circuits.py"))
    for name, A in example["parity_maps"]():
        for circuit in (example["cnot_circuit"](A), example["reversed_log_circuit"](A)):
            assert peer_map(len(A), circuit) == A, name
