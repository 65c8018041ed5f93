"""Random call sequences with hostile arguments, checked call by call against the model in model.py."""
from collections import namedtuple

import numpy as np
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

from model import OPS, PARAMS, Model
from zendrik import Matrix

I = namedtuple("I", "ret act")  # an object whose __index__ performs `act`, then returns `ret`
S = namedtuple("S", "items len_act len_ret acts")  # a sequence whose __len__ performs `len_act`, returns
# `len_ret` (None: the true length), and whose iteration performs `acts[k]` before item k
# What a hostile object may do to the lists that hold it: the innermost one (0), or the one holding that (1).
LIST_ACTS = {"grow": (0, lambda l: l.append(1)), "shrink": (0, lambda l: l and l.pop()), "clear": (0, list.clear),
             "grow_up": (1, lambda l: l.append([1])), "shrink_up": (1, lambda l: l and l.pop())}


class SubTypeError(TypeError): pass


RAISE = {"raise_v": ValueError, "raise_t": TypeError, "raise_s": SubTypeError}


class Env:  # what hostile objects act on: `box` holds the only reference to the matrix outside the call
    def __init__(self, box):
        self.box = box

    def act(self, a, lists=()):
        if type(a) is tuple:  # a call into the same matrix
            if self.box: call_on(self.box[0], *a)
        elif a in RAISE: raise RAISE[a]("hostile")
        elif a == "drop": self.box.clear()  # the last reference outside the running call
        elif a in LIST_ACTS and LIST_ACTS[a][0] < len(lists):  # a list being read is changed
            LIST_ACTS[a][1](lists[LIST_ACTS[a][0]])


class Idx:
    def __init__(self, d, env, lists):
        self.d, self.env, self.lists = d, env, lists

    def __index__(self):
        return self.env.act(self.d.act, self.lists) or build(self.d.ret, self.env)


class Seq:
    def __init__(self, d, env, lists):
        self.items, self.d, self.env = build(d.items, env, lists), d, env

    def __len__(self):
        return self.env.act(self.d.len_act, (self.items,)) or (self.d.len_ret or len(self.items))

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):  # follows the list as it is mutated
        i = 0
        while i < len(self.items):
            self.env.act(self.d.acts.get(i), (self.items,))
            if i < len(self.items):
                yield self.items[i]
            i += 1


def build(d, env, lists=()):  # a fresh object from its description, for each of the two runs
    if isinstance(d, (I, S)):
        return (Idx if isinstance(d, I) else Seq)(d, env, lists)
    if isinstance(d, list):  # filled in place, so that what it holds can reach it
        out = []
        out.extend(build(x, env, (out, *lists)) for x in d)
        return out
    return tuple(build(x, env, lists) for x in d) if isinstance(d, tuple) else d


def call_on(obj, name, args=(), kw={}):  # name None: the constructor
    return obj(*args, **kw) if name is None else repr(obj) if name == "repr" else getattr(obj, name)(*args, **kw)


def norm(x):
    if isinstance(x, (Matrix, Model)):
        return "Matrix", type(x) in (Matrix, Model), x.to_list()
    return type(x).__name__, [norm(i) for i in x] if isinstance(x, (list, tuple)) else x


def outcome(f):
    try:
        r = f()
        return "ok", norm(r), r
    except BaseException as e:
        return type(e).__name__, str(e), None


CALLS = [("nrows",), ("get", (0, 0)), ("get", (9, 0)), ("get", ()), ("repr",), ("kernel",), ("rank",),
         ("echelon_form",), ("is_zero_row", (1,)), ("append_row", ([1, 0],)), ("add_rows", (1, 0)),
         ("swap_rows", (0, 1)), ("append_column", ([1] * 8,)), ("echelon_form_last_row",)]
acts = st.sampled_from([None, *RAISE, "drop", *LIST_ACTS, *CALLS])
idx = st.builds(I, st.integers(0, 6) | st.sampled_from([-1, 2**64 - 1, 2**64, 2**100, 1.5, "x", 256]), acts)
bits = st.integers(0, 1)
elem = st.one_of(bits, bits, st.integers(0, 255), idx,
                 st.sampled_from([-1, 256, 2**40, 2**63, -(2**70), 1.5, "x", None, True]))


WIDTHS = st.sampled_from([0, 1, 2, 3, 5, 63, 64, 65, 127, 128, 129])
# numpy arrays read whole (uint8, C-contiguous) or item by item (anything else)
SHAPES = {1: st.tuples(WIDTHS), 2: st.tuples(st.integers(0, 4), WIDTHS)}
LAYOUTS = [lambda a: a, lambda a: a, lambda a: a[..., ::2], lambda a: a[::-1], np.asfortranarray,
           lambda a: a.astype(np.int16), lambda a: a.astype(np.int8), lambda a: a.astype(bool), lambda a: a.T,
           lambda a: a.reshape(-1), lambda a: a.reshape(1, -1), lambda a: a.reshape(()) if a.size == 1 else a]


def arrays(ndim):
    values = st.integers(0, 1) | st.integers(0, 255)
    return st.builds(lambda shape, fill, seed, layout: layout(
        np.random.default_rng(seed).integers(0, fill + 1, size=shape, dtype=np.uint8)),
        SHAPES[ndim], values, st.integers(0, 9), st.sampled_from(LAYOUTS))


def seqs(item, ndim=1):
    hostile = st.builds(S, st.lists(item, max_size=5), acts, st.sampled_from([None, None, 2**62, -1, 1.5]),
                        st.dictionaries(st.integers(0, 4), acts, max_size=2))
    return st.one_of(st.lists(item, max_size=6), st.lists(item, max_size=6).map(tuple), st.binary(max_size=6),
                     st.binary(max_size=6).map(bytearray), arrays(ndim), arrays(3 - ndim),
                     st.sampled_from(["01", 5, None, {1: 0}, range(2), range(250, 10**12), range(250, 10**20)]),
                     hostile, hostile)


INDEX = ("row", "col", "target", "source", "row1", "row2")
PLAIN = dict.fromkeys(INDEX, st.integers(0, 4)) | {"v": st.lists(bits | st.integers(0, 255), max_size=7)}
ARG = dict.fromkeys(INDEX, st.one_of(st.integers(0, 6), idx, idx,
                                     st.sampled_from([-1, 2**64 - 1, 2**64, True, 1.5, "1", None])))
ARG |= {"v": seqs(elem), "elements": seqs(seqs(elem), 2)}


@st.composite
def arguments(draw, names, arg):  # by position or keyword; sometimes one too few, too many, unknown, twice
    vals = [draw(arg[n]) for n in names]
    return {1: ([], dict(zip(names, vals))), 2: (vals[:1], dict(zip(names[1:], vals[1:]))),
            3: (vals[:-1], {}), 4: (vals + [0], {}), 5: (vals, {"zzz": 0}),
            6: (vals, dict(zip(names[:1], vals)))}.get(draw(st.integers(0, 24)) if names else 0, (vals, {}))


cells = st.one_of(bits, bits, st.integers(0, 255))
# Rectangular matrices of 0 and 1 only are reduced in packed form, the rest element by element. Up to 8
# columns, so that several rows can lead at one column in a last-row reduction.
rect = st.tuples(st.integers(0, 8), st.sampled_from([bits, cells])).flatmap(
    lambda s: st.lists(st.lists(s[1], min_size=s[0], max_size=s[0]), max_size=6))
matrices = rect | rect | st.lists(st.lists(bits, max_size=6), max_size=6)  # the last one ragged


class Fuzz(RuleBasedStateMachine):
    @initialize(rows=matrices)
    def start(self, rows):
        self.model, self.box = Model(rows), [Matrix(rows)]

    def run(self, name, args, kw):
        """One call on the model and on the module: the same result or the same failure, then the same
        contents, and the matrix free for an exclusive call."""
        menv, env = Env([self.model]), Env(self.box)
        want = outcome(lambda: call_on(Model.new if name is None else menv.box[0], name, *build((args, kw), menv)))
        got = outcome(lambda: call_on(Matrix if name is None else env.box[0], name, *build((args, kw), env)))
        assert got[:2] == want[:2] and self.model.flag == 0
        if name is None and got[0] == "ok":
            self.model, self.box[:] = want[2], [got[2]]
        if not self.box:  # the only other reference was dropped during the call, which still worked
            self.box.append(Matrix(self.model.rows))
        assert self.box[0].to_list() == self.model.rows
        assert outcome(self.box[0].echelon_form_last_row)[:2] == outcome(self.model.echelon_form_last_row)[:2]

    @rule(data=st.data(), name=st.sampled_from(sorted(OPS)))
    def plain(self, data, name):
        self.run(name, *data.draw(arguments(PARAMS.get(name, ()), PLAIN)))

    @rule(data=st.data(), name=st.sampled_from([None, None, *PARAMS]))
    def hostile(self, data, name):
        self.run(name, *data.draw(arguments(PARAMS.get(name, ()) if name else ("elements",), ARG)))


TestFuzz = Fuzz.TestCase
TestFuzz.settings = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
