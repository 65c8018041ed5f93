"""Dense byte matrices whose rows combine by exclusive-or: linear algebra over GF(2).

Elements are bytes 0 to 255; only an element equal to exactly 1 acts as a one.
rank() and kernel() perform no reduction: ask them of the matrix that
echelon_form returns. An index outside the matrix raises PanicException, which
derives from BaseException (``except Exception`` does not catch it). Calling
back into a matrix from inside one of its own calls raises
RuntimeError("Already borrowed") or RuntimeError("Already mutably borrowed").
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

        Returns:
            The new matrix.

        Raises:
            TypeError: a str, a non-sequence or a non-integer element.
            OverflowError: an element outside 0..255.
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

        Changes nothing.

        Returns:
            The element, 0 to 255.

        Raises:
            PanicException: row or col is outside the matrix.
            OverflowError: a negative index.
        """

    def add_rows(self, target: SupportsIndex, source: SupportsIndex) -> None:
        """Row target ^= row source, over the first ncols() positions.

        The source row is unchanged; a failed call changes nothing.

        Raises:
            PanicException: an index outside the matrix or a row shorter than row 0.
        """

    def swap_rows(self, row1: SupportsIndex, row2: SupportsIndex) -> None:
        """Exchange two whole rows.

        Raises:
            PanicException: an index outside the matrix.
        """

    def is_zero_row(self, row: SupportsIndex) -> bool:
        """Whether every element of the row is 0 (any other byte counts as nonzero).

        Changes nothing.

        Returns:
            True when no element of the row is nonzero.

        Raises:
            PanicException: an index outside the matrix.
        """

    def append_row(self, v: Sequence[SupportsIndex]) -> None:
        """Add v as the new last row; its length is not checked against ncols().

        Raises:
            TypeError: v is not a sequence of integers; the matrix is unchanged.
            OverflowError: an element of v outside 0..255; the matrix is unchanged.
        """

    def append_column(self, v: Sequence[SupportsIndex]) -> None:
        """Append v[i] to the end of row i for every row.

        All of v is converted first: elements past nrows() are not appended, but
        one that is not an int 0..255 still raises TypeError or OverflowError
        (Matrix([[1]]).append_column([0, 300]) raises OverflowError). A failed
        call changes nothing.

        Raises:
            PanicException: v has fewer elements than the matrix has rows.
            TypeError: an element of v is not an integer.
            OverflowError: an element of v outside 0..255.
        """

    def echelon_form(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """The reduced row echelon form and the log of row additions that made it.

        The receiver is unchanged.

        Returns:
            The reduced matrix, which is what rank() and kernel() answer right
            for, and the log: each entry (target, source) replays with
            add_rows(target, source).

        Raises:
            PanicException: a row shorter than row 0 is reached.
        """

    def row_echelon_full_matrix(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """Forward elimination along the diagonal, over columns 0..min(nrows, ncols)-1, and its log.

        Clears only below the diagonal and passes over a row whose diagonal
        finds no pivot, so the result is not always in row echelon form:
        rank() and kernel() of it can be wrong ([[0, 1, 0], [0, 1, 1]] comes
        back unchanged, with rank() 1); use echelon_form before them. The
        receiver is unchanged.

        Returns:
            The eliminated matrix and the log of row additions that made it,
            entries (target, source) as add_rows takes them.

        Raises:
            PanicException: a row shorter than row 0 is reached.
        """

    def echelon_form_last_row(self) -> tuple[Matrix, list[tuple[int, int]]]:
        """Work the last row into rows already reduced; returns the result and its log.

        Right for one layout only: n rows of width n (start from n zero rows),
        one appended row of width n, then the leftover last row (always zero)
        dropped. There row i is zero or has its leading one in column i, and
        rank() is the rank; kernel() is not (reduce with echelon_form first).
        Other layouts raise PanicException or give a wrong answer silently
        (2 rows of width 3 lose an equation). The receiver is unchanged (but
        borrowed exclusively).

        Returns:
            The matrix with its last row worked in, and the log of row
            additions that made it, entries (target, source) as add_rows
            takes them.

        Raises:
            PanicException: some layouts other than the one above (no rows, [[0, 1]]).
        """

    def rank(self) -> int:
        """The number of distinct columns holding a row's leading one (first 1).

        Performs no reduction: this is the rank only when no two rows lead in
        the same column, as in the result of echelon_form or a system kept by
        echelon_form_last_row. Matrix([[1, 0], [1, 1]]).rank() is 1; for any
        matrix, m.echelon_form()[0].rank() is its rank. Changes nothing.

        Returns:
            The count of distinct leading-one columns.
        """

    def kernel(self) -> list[list[int]]:
        """One vector per free column, back-substituted from the rows as they stand.

        Performs no reduction: this is a basis of the null space only for a
        matrix in row echelon form (the i-th leading one in row i), such as
        the result of echelon_form. It is wrong for a zero row above a
        non-zero one, as echelon_form_last_row's layout and
        row_echelon_full_matrix leave them: Matrix([[0, 0], [0, 1]]).kernel()
        gives two vectors for rank 1. For any matrix use
        m.echelon_form()[0].kernel(). Changes nothing.

        Returns:
            One vector per free column (a column holding no row's leading one).

        Raises:
            PanicException: a row shorter than row 0.
        """
