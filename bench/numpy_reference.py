"""The reductions, rank and kernel written the way a numpy user would write them.

Each function takes a rectangular 2-D uint8 array and gives exactly what the
matching `Matrix` method gives (matrix and log alike), for any byte values:
only an element equal to 1 acts as a one, and bytes 2..255 are XORed along.
Logs are lists of (target, source) tuples; an exchange of rows a (the upper)
and b is logged as (a, b), (b, a), (a, b).
"""

import numpy as np

_EXCHANGE = np.array([0, 1, 0])


class _Log:
    """Collects log entries as index arrays; the tuples are made once, at the end."""

    def __init__(self):
        self.targets, self.sources = [], []

    def exchange(self, a, b):
        pair = np.array([a, b])
        self.targets.append(pair[_EXCHANGE])
        self.sources.append(pair[1 - _EXCHANGE])

    def additions(self, targets, source):
        self.targets.append(targets)
        self.sources.append(np.full(targets.size, source))

    def to_list(self):
        if not self.targets:
            return []
        return list(zip(np.concatenate(self.targets).tolist(), np.concatenate(self.sources).tolist()))


def _add_row_into(m, targets, source, col):
    # Where the source row holds only zeros before `col`, the XOR can start there.
    start = col if not m[source, :col].any() else 0
    m[targets, start:] ^= m[source, start:]


def _pivot_into(m, log, r, col):
    """Brings the first row from r down with a 1 in `col` to row r; False when there is none."""
    hits = np.flatnonzero(m[r:, col] == 1)
    if hits.size == 0:
        return False
    k = r + int(hits[0])
    if k != r:
        m[[r, k]] = m[[k, r]]
        log.exchange(r, k)
    return True


def echelon_form(a):
    """Reduced row echelon form, columns left to right; every other row is cleared."""
    m = np.array(a, dtype=np.uint8, order="C", copy=True)
    nrows, ncols = m.shape
    log = _Log()
    r = 0
    for col in range(ncols):
        if r == nrows:
            break  # no pivot row left: the remaining columns change nothing
        if not _pivot_into(m, log, r, col):
            continue
        js = np.flatnonzero(m[:, col] == 1)
        js = js[js != r]
        if js.size:
            _add_row_into(m, js, r, col)
            log.additions(js, r)
        r += 1
    return m, log.to_list()


def row_echelon_full_matrix(a):
    """Forward elimination along the main diagonal: row i pairs with column i."""
    m = np.array(a, dtype=np.uint8, order="C", copy=True)
    nrows, ncols = m.shape
    log = _Log()
    for i in range(min(nrows, ncols)):
        if not _pivot_into(m, log, i, i):
            continue
        js = i + 1 + np.flatnonzero(m[i + 1:, i] == 1)
        if js.size:
            _add_row_into(m, js, i, i)
            log.additions(js, i)
    return m, log.to_list()


def rank(a):
    """The number of distinct leading-one columns."""
    ones = np.asarray(a) == 1
    if ones.size == 0:
        return 0
    has_one = ones.any(axis=1)
    return int(np.unique(ones.argmax(axis=1)[has_one]).size)


def _pivots(m, nrows, ncols):
    """Pivot columns: the i-th is the first column from the last one on where row i holds a 1."""
    pivots, col = [], 0
    while len(pivots) < nrows and col < ncols:
        hits = np.flatnonzero(m[len(pivots), col:] == 1)
        if hits.size == 0:
            break
        col += int(hits[0])
        pivots.append(col)
        col += 1
    return pivots, np.setdiff1d(np.arange(ncols), pivots)


def kernel_per_pivot(a):
    """The kernel as back-substitution spells it: all vectors at once, one pivot at a time.

    Each pivot entry is the XOR of the 8-bit products of its row with the
    vector, over the columns where the row is not zero.
    """
    m = np.asarray(a, dtype=np.uint8)
    nrows, ncols = m.shape
    if nrows == 0:
        ncols = 0
    pivots, free = _pivots(m, nrows, ncols)
    basis = np.zeros((free.size, ncols), dtype=np.uint8)
    basis[np.arange(free.size), free] = 1
    for i in reversed(range(len(pivots))):
        cols = np.flatnonzero(m[i, :ncols])
        cols = cols[cols != pivots[i]]
        if cols.size:
            basis[:, pivots[i]] = np.bitwise_xor.reduce(basis[:, cols] * m[i, cols], axis=1)
    return basis


def kernel(a):
    """One vector per free column, by back-substitution; the i-th pivot reads row i.

    Vector entries are XORs of 8-bit products. Since every free entry of a
    vector is 0 but its own, pivot i of the vector for free column f starts as
    row i's element at f, plus the products with the pivots after it, which
    are already final when it is computed. In reduced form those are all zero.
    """
    m = np.asarray(a, dtype=np.uint8)
    nrows, ncols = m.shape
    if nrows == 0:
        ncols = 0  # the width is that of row 0
    pivots, free = _pivots(m, nrows, ncols)
    npiv = len(pivots)
    head = m[:npiv]
    x = np.ascontiguousarray(head[:, free].T)  # x[f, i]: pivot i of the vector for free column f
    coupling = np.triu(head[:, pivots], 1)  # coupling[i, k]: row i's element at pivot k > i
    for i in reversed(np.flatnonzero(coupling.any(axis=1)).tolist()):
        ks = np.flatnonzero(coupling[i])
        x[:, i] ^= np.bitwise_xor.reduce(x[:, ks] * coupling[i, ks], axis=1)
    basis = np.zeros((free.size, ncols), dtype=np.uint8)
    basis[np.arange(free.size), free] = 1
    basis[:, pivots] = x
    return basis
