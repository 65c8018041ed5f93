"""Correct use of every method; must pass mypy --strict with the installed stubs."""
from typing import assert_type

from zendrik import Matrix

m = Matrix([[1, 0, 1], [0, 1, 1]])
Matrix(((1, 0), (0, 1)))
Matrix([b"\x01\x00", bytearray([0, 1]), range(2)])
Matrix(elements=[[True, False]])
assert_type(m.to_list(), list[list[int]])
assert_type(m.nrows() + m.ncols(), int)
assert_type(m.copy(), Matrix)
assert_type(m.get(0, col=1), int)
assert_type(m.add_rows(target=0, source=1), None)
assert_type(m.swap_rows(0, 1), None)
assert_type(m.is_zero_row(row=1), bool)
assert_type(m.append_row(b"\x01\x01\x00"), None)
assert_type(m.append_column(range(3)), None)
assert_type(m.echelon_form(), tuple[Matrix, list[tuple[int, int]]])
assert_type(m.row_echelon_full_matrix(), tuple[Matrix, list[tuple[int, int]]])
assert_type(m.echelon_form_last_row(), tuple[Matrix, list[tuple[int, int]]])
assert_type(m.rank(), int)
assert_type(m.kernel(), list[list[int]])
assert_type(repr(m), str)

reduced, log = m.echelon_form()
replay = m.copy()
for target, source in log:
    replay.add_rows(target, source)
