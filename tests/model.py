"""A pure-Python model of zendrik.Matrix: the same results, the same failures (type and text), the same
contents after a failed call, the same borrow rules. Rows are lists of ints."""
import ctypes
import operator
import sys

# The interpreter's own test: a type with an item slot (a class with __getitem__, not a dict; numpy arrays but
# not numpy scalars)
is_sequence = ctypes.pythonapi.PySequence_Check
is_sequence.argtypes, is_sequence.restype = [ctypes.py_object], ctypes.c_int


# The build's own word: an index must fit the size type (32 bits on a 32-bit build), an element is first read as
# a C long.
SIZE_MAX = 2 * sys.maxsize + 1
LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
RANGE = "out of range integral type conversion attempted"
LONG_TOO_LARGE = "Python int too large to convert to C long"


class PanicException(BaseException):
    """Stands for the module's panic exception: outcomes are compared by class name and text."""


def oob(length, index):
    raise PanicException(f"index out of bounds: the len is {length} but the index is {index}")


def at(seq, i):  # every read is checked when made, against the row (or row list) actually read
    return seq[i] if i < len(seq) else oob(len(seq), i)


def ncols(m):
    return len(m[0]) if m else 0


def lead(v):  # leading one: only an element equal to exactly 1 counts as a one
    return next((j for j, x in enumerate(v) if x == 1), None)


def add(m, t, s):
    """m[t] ^= m[s] over the current length of row 0. At each position: source row, source element, target
    row, target element are checked, all before any change, so a failed addition changes nothing."""
    n = ncols(m)
    for i in range(n):
        at(at(m, s), i), at(at(m, t), i)
    for i in range(n):
        m[t][i] ^= m[s][i]


def swap(m, a, b):
    at(m, a), at(m, b)
    m[a], m[b] = m[b], m[a]


def exchange(m, log, a, b):  # logged as the three additions that exchange two rows
    swap(m, a, b)
    log += [(a, b), (b, a), (a, b)]


def append_column(m, v):  # a v shorter than the row list fails before any row grows
    if len(v) < len(m): oob(len(v), len(v))
    for row, x in zip(m, v):
        row.append(x)


def echelon(rows, reduced):
    """reduced (echelon_form): every column; pivot row r advances only when a pivot is found; all other rows
    are cleared. Else (row_echelon_full_matrix): columns below min(nrows, ncols), row r is column r, only
    rows below are cleared. The column bound is fixed from row 0 at the start."""
    m, log, r = [list(x) for x in rows], [], 0
    for c in range(ncols(m) if reduced else min(len(m), ncols(m))):
        k = next((k for k in range(r, len(m)) if at(m[k], c) == 1), None)
        if k is not None:
            if k != r: exchange(m, log, r, k)
            for j in range(0 if reduced else r + 1, len(m)):
                if j != r and at(m[j], c) == 1:
                    add(m, j, r), log.append((j, r))
        r += k is not None or not reduced
    return Model(m), log


def echelon_form_last_row(rows):
    if not rows: oob(0, SIZE_MAX)  # nrows - 1 wraps around
    m, log = [list(x) for x in rows], []
    last, w = len(m) - 1, list(m[-1])  # w: working copy of the last row
    for _ in range(len(m[0])):  # pass limit: length of row 0 at the start
        p = lead(w)
        if p is None:  # shift pass: the lowest qualifying row moves one down; w is not taken again
            cand = None
            for i in range(last - 1, -1, -1):  # the scan for a 1 right of the diagonal stops at the first 1
                if at(m[i], i) == 0 and any(at(m[i], j) == 1 for j in range(i + 1, len(m[0]))):
                    cand = i
            if cand is None: break
            exchange(m, log, cand, cand + 1)
            continue
        red = [r for r in range(last) if at(m[r], p) == 1 and 1 not in m[r][:p]]
        if red:  # reduction pass, by the last row leading at p
            add(m, last, red[-1]), log.append((last, red[-1]))
        elif p == last:  # final pass: exchange with the first all-zero row, then stop
            z = next((i for i in range(last) if not any(m[i])), None)
            if z is not None: exchange(m, log, z, last)
            break
        else:  # placement pass
            exchange(m, log, p, last)
        w = list(m[last])
    return Model(m), log


def kernel(m):
    n, piv, free = ncols(m), [], []
    for c in range(n):
        (piv if len(piv) < len(m) and at(m[len(piv)], c) == 1 else free).append(c)
    out = []
    for f in free:
        v = [0] * n
        v[f] = 1
        for i in reversed(range(len(piv))):  # the i-th pivot was found in row i, which is read for it
            s = 0
            for j in reversed(range(n)):  # every product is read, also where v[j] is 0
                if j != piv[i]: s ^= v[j] * at(m[i], j) & 255
            v[piv[i]] = s
        out.append(v)
    return out


def to_index(x):  # an unsigned 64-bit read (ints directly, other objects through __index__), then the size type
    v = operator.index(x)
    if v < 0 or v >= 2**64:
        raise OverflowError("can't convert negative int to unsigned" if v < 0 else "int too big to convert")
    if v > SIZE_MAX:
        raise OverflowError(RANGE)
    return v


def to_byte(x):  # a C long read, then 0..255
    v = operator.index(x)
    if not -LONG_MAX - 1 <= v <= LONG_MAX:
        raise OverflowError(LONG_TOO_LARGE)
    if not 0 <= v <= 255:
        raise OverflowError(RANGE)
    return v


def sequence(x, item):
    if isinstance(x, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(x):
        raise TypeError(f"'{type(x).__qualname__}' object cannot be converted to 'Sequence'")
    try: len(x)  # a capacity hint only: its failure is discarded, unless it is a panic coming back
    except PanicException: raise
    except BaseException: pass
    return [item(i) for i in x]


CONVERT = dict.fromkeys(("row", "col", "target", "source", "row1", "row2"), to_index)
CONVERT |= {"v": lambda x: sequence(x, to_byte), "elements": lambda x: sequence(x, CONVERT["v"])}


def convert(name, x):
    try:
        return CONVERT[name](x)
    except TypeError as e:  # exactly TypeError, whoever raised it, gets the argument's name
        if type(e) is not TypeError: raise
        raise TypeError(f"argument '{name}': {e}") from e.__cause__


def parse(fn, names, args, kw):
    full, slots = f"Matrix.{fn}()", list(args) + [parse] * (len(names) - len(args))  # `parse`: empty slot
    if len(args) > len(names):
        raise TypeError(f"{full} takes {len(names)} positional arguments but {len(args)} were given")
    for k, v in kw.items():
        if k not in names:
            raise TypeError(f"{full} got an unexpected keyword argument '{k}'")
        if slots[names.index(k)] is not parse:
            raise TypeError(f"{full} got multiple values for argument '{k}'")
        slots[names.index(k)] = v
    miss = [f"'{n}'" for n, s in zip(names, slots) if s is parse]
    if miss:
        raise TypeError(f"{full} missing {len(miss)} required positional argument{'s' * (len(miss) > 1)}: "
                        + " and ".join(miss))
    return slots


PARAMS = {"get": ("row", "col"), "add_rows": ("target", "source"), "swap_rows": ("row1", "row2"),
          "is_zero_row": ("row",), "append_row": ("v",), "append_column": ("v",)}
EXCLUSIVE = {"add_rows", "swap_rows", "append_row", "append_column", "echelon_form_last_row"}
OPS = {"to_list": lambda m: [list(r) for r in m], "nrows": len, "ncols": ncols, "copy": lambda m: Model(m),
       "get": lambda m, r, c: at(at(m, r), c), "add_rows": add, "swap_rows": swap,
       "is_zero_row": lambda m, r: not any(at(m, r)), "echelon_form_last_row": echelon_form_last_row,
       "echelon_form": lambda m: echelon(m, True), "row_echelon_full_matrix": lambda m: echelon(m, False),
       "append_row": list.append, "append_column": append_column,
       "rank": lambda m: len({lead(r) for r in m} - {None}), "kernel": kernel, "repr": str}


class Model:
    def __init__(self, rows):
        self.rows, self.flag = [list(r) for r in rows], 0  # flag: 0 free, n shared borrows, -1 exclusive

    @classmethod
    def new(cls, *args, **kw):
        return cls(convert("elements", parse("__new__", ("elements",), args, kw)[0]))

    def __getattr__(self, name):
        if name not in OPS: raise AttributeError(name)
        return lambda *a, **k: self.call(name, a, k)

    def __repr__(self):
        return self.call("repr")

    def call(self, name, args=(), kw={}):
        """Match the arguments, borrow, convert them first to last, run; the borrow is released on every path."""
        names, excl = PARAMS.get(name, ()), name in EXCLUSIVE
        slots = parse(name, names, args, kw)
        if self.flag < 0 or excl and self.flag:
            raise RuntimeError("Already borrowed" if excl else "Already mutably borrowed")
        self.flag = -1 if excl else self.flag + 1
        try:
            return OPS[name](self.rows, *[convert(n, x) for n, x in zip(names, slots)])
        finally:
            self.flag = 0 if excl else self.flag - 1
