"""Dense byte matrices whose rows combine by exclusive-or: linear algebra over GF(2).

Elements are bytes 0 to 255; only an element equal to exactly 1 acts as a one.
An index outside the matrix raises PanicException, which derives from
BaseException (``except Exception`` does not catch it). Calling back into a
matrix from inside one of its own calls raises RuntimeError("Already borrowed")
or RuntimeError("Already mutably borrowed").
"""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["Matrix"]

# A row is any sequence of integers 0..255 (list, tuple, bytes, bytearray,
# range, objects with __index__); written out in full so that editors show it.

@final
class Matrix:
    """A dense matrix of bytes, held row by row; rows may differ in length.

    Not subclassable; ``==`` compares identity (compare ``to_list()`` for
    contents); no ``len()``, indexing or iteration.
    """

    def __new__(cls, elements: Sequence[Sequence[SupportsIndex]]) -> Matrix:
        """Build a matrix from rows of integers 0..255, stored exactly as given.

        Rows are not compared: ragged rows and empty rows are kept.
        Raises TypeError for a str, a non-sequence or a non-integer element,
        OverflowError for an element outside 0..255.
        """

    def __repr__(self) -> str:
        """The rows as nested lists, e.g. ``[[1, 0], [0, 1]]``; also what str() shows."""

    def to_list(self) -> list[list[int]]:
        """A new list of lists of the elements; changing it leaves the matrix unchanged."""

    def nrows(self) -> int:
        """The number of rows."""

    def ncols(self) -> int:
        """The length of row 0, or 0 when there are no rows; other rows play no part."""

    def copy(self) -> Matrix:
        """A new, independent matrix with the same rows."""

    def get(self, row: SupportsIndex, col: SupportsIndex) -> int:
        """The element at (row, col), checked against that row's own length.

        Raises PanicException when row or col is outside the matrix,
        OverflowError for a negative index. Changes nothing.
        """

    def add_rows(self, target: SupportsIndex, source: SupportsIndex) -> None:
        """Row target ^= row source, over the first ncols() positions.

        Raises PanicException for an index outside the matrix or a row shorter
        than row 0; a failed call changes nothing. The source row is unchanged.
        """

    def swap_rows(self, row1: SupportsIndex, row2: SupportsIndex) -> None:
        """Exchange two whole rows. Raises PanicException for an index outside the matrix."""

    def is_zero_row(self, row: SupportsIndex) -> bool:
        """Whether every element of the row is 0 (any other byte counts as nonzero).

        Raises PanicException for an index outside the matrix. Changes nothing.
        """

    def append_row(self, v: Sequence[SupportsIndex]) -> None:
        """Add v as the new last row; its length is not checked against ncols().

        Raises TypeError or OverflowError for a bad v, leaving the matrix unchanged.
        """

    def append_column(self, v: Sequence[SupportsIndex]) -> None:
        """Append v[i] to the end of row i for every row; extra elements are ignored.

        Raises PanicException when v has fewer elements than the matrix has rows;
        a failed call changes nothing.
        """

    def echelon_form(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """The reduced row echelon form and the log of row additions that made it.

        Each log entry (target, source) replays with add_rows(target, source).
        Raises PanicException when a row shorter than row 0 is reached.
        The receiver is unchanged.
        """

    def row_echelon_full_matrix(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """Row echelon form over columns 0..min(nrows, ncols)-1, clearing only below, and its log.

        Raises PanicException when a row shorter than row 0 is reached.
        The receiver is unchanged.
        """

    def echelon_form_last_row(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """Work the last row into rows already reduced; returns the result and its log.

        Built for n rows of width n plus one appended row. Raises
        PanicException on a matrix without rows and on layouts it cannot place
        the row in. The receiver is unchanged (but borrowed exclusively).
        """

    def rank(self) -> int:
        """The number of distinct leading-one columns: the rank of a reduced matrix.

        Performs no reduction; changes nothing.
        """

    def kernel(self) -> list[list[int]]:
        """A basis of the null space of a reduced matrix, one vector per free column.

        Performs no reduction. Raises PanicException when a pivot column has no
        row of that index or a row is too short. Changes nothing.
        """
