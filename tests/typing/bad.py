"""One wrong call per line; mypy --strict must report each on its own line."""
from zendrik import Matrix

m = Matrix([[1, 0], [0, 1]])
Matrix("0101")  # error: a str is not a sequence of rows of ints
Matrix([[1.0, 0.0]])  # error: floats are not ints
m.get("0", 1)  # error: index given as str
m.get(0)  # error: col missing
m.add_rows(0, 1, 2)  # error: too many arguments
m.swap_rows(row=0, col=1)  # error: no parameter col
m.append_row("101")  # error: a str row
m.append_column([None])  # error: None is no element
rank: str = m.rank()  # error: rank is an int
reduced, log, extra = m.echelon_form()  # error: a pair, not a triple
m.kernel().shape  # error: a list has no shape
m.rows  # error: no attribute exposes the rows
