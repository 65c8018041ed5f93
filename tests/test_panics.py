import re
import sys

import pytest
import zendrik
from helpers import Idx, PanicException, Seq, catch, oob, raiser, run_python
from zendrik import Matrix

RESUMING = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\nTraceback (most recent call last):\n")


def test_panic_exception_class():
    e = catch(lambda: Matrix([[1, 0, 1]]).get(0, 7))
    assert type(e) is PanicException and e.args == (oob(3, 7),) and str(e) == oob(3, 7)
    assert PanicException.__bases__ == (BaseException,) and not isinstance(e, Exception)
    assert (PanicException.__module__, PanicException.__name__, PanicException.__qualname__) == \
        ("pyo3_runtime", "PanicException", "PanicException")
    assert PanicException.__doc__.startswith("\n") and PanicException.__doc__.endswith(
        "Like SystemExit, this exception is derived from BaseException so that\nit will typically"
        " propagate all the way through the stack and cause the\nPython interpreter to exit.\n")
    assert "pyo3_runtime" not in sys.modules and not hasattr(zendrik, "PanicException")
    again = catch(lambda: Matrix([]).get(0, 0))
    assert type(again) is PanicException and again is not e


class Unprintable:
    def __str__(self):
        raise ValueError


ONE = [[1]]


@pytest.mark.parametrize("call", [
    lambda exc: Matrix(ONE).get(Idx(raiser(exc)), 0),
    lambda exc: Matrix(ONE).get(0, Idx(raiser(exc))),
    lambda exc: Matrix(Seq(lambda: iter(ONE), raiser(exc))),
    lambda exc: Matrix([Seq(lambda: iter([1]), raiser(exc))]),
    lambda exc: Matrix([Seq(raiser(exc))]),
    lambda exc: Matrix([[Idx(raiser(exc))]]),
], ids=["index-row", "index-col", "len-rows", "len-row", "iter", "element"])
@pytest.mark.parametrize("payload, message", [
    ("boom", "boom"), ("é ☃ 𝔽₂", "é ☃ 𝔽₂"), (Unprintable(), "Unwrapped panic from Python code"),
])
def test_panic_from_python_is_resumed(capfd, call, payload, message):
    original = PanicException(payload)
    e = catch(lambda: call(original))
    err = capfd.readouterr().err
    assert type(e) is PanicException and e is not original and e.args == (message,)
    assert err.startswith(RESUMING) and err.count("--- PyO3") == 1
    assert "pyo3_runtime.PanicException" in err
    assert "panicked at" not in err


def test_panic_subclass_passes_unchanged(capfd):
    class Sub(PanicException):
        pass
    exc = Sub("mine")
    assert catch(lambda: Matrix(ONE).get(Idx(raiser(exc)), 0)) is exc
    assert catch(lambda: Matrix(Seq(raiser(exc)))) is exc
    assert capfd.readouterr().err == ""


def test_ordinary_errors_write_nothing(capfd):
    for call in [lambda: Matrix([[256]]), lambda: Matrix(1), lambda: Matrix(ONE).get(-1, 0),
                 lambda: Matrix(ONE).get(0), lambda: Matrix(ONE).get(Idx(raiser(ValueError)), 0)]:
        assert isinstance(catch(call), Exception)
    assert Matrix(Seq(lambda: iter([]), raiser(ValueError))).nrows() == 0
    assert capfd.readouterr().err == ""


REPORTS = """
    import threading
    from zendrik import Matrix
    m = Matrix([[1, 0]])
    def fail(row, col):
        try:
            m.get(row, col)
        except BaseException as e:
            print(type(e).__name__)
    fail(5, 0)
    fail(0, 5)
    t = threading.Thread(target=fail, args=(5, 0))
    t.start()
    t.join()
    def named():
        import ctypes, sys
        if sys.platform == "linux":
            libc = ctypes.CDLL(None)
            libc.pthread_self.restype = ctypes.c_ulong
            libc.pthread_setname_np(ctypes.c_ulong(libc.pthread_self()), b"solver")
        fail(5, 0)
    t = threading.Thread(target=named)
    t.start()
    t.join()
"""
REPORT = r"thread '{}' panicked at src/matrix/matrix\.cpp:(\d+:\d+):\n{}\n"
NOTE = "note: run with `ZENDRIK_BACKTRACE=1` environment variable to display a backtrace\n"
# From 3.14 on, `threading` names the system thread too (cut to the system's 15 bytes).
FIRST_THREAD = "Thread-1 (fail)" if sys.version_info >= (3, 14) else "<unnamed>"
# Thread names come from Linux alone: elsewhere every thread is "<unnamed>".
MAIN, FIRST, NAMED = ("main", re.escape(FIRST_THREAD), "solver") if sys.platform == "linux" \
    else ("<unnamed>",) * 3


def test_failure_reports():
    out, err = run_python(REPORTS)
    assert out == "PanicException\n" * 4
    found = re.fullmatch(REPORT.format(MAIN, oob(1, 5)) + re.escape(NOTE)
                         + REPORT.format(MAIN, oob(2, 5)) + REPORT.format(FIRST, oob(1, 5))
                         + REPORT.format(NAMED, oob(1, 5)), err)
    assert found, err
    row_check, col_check, row_check_again, _ = found.groups()
    assert row_check == row_check_again != col_check


@pytest.mark.parametrize("value, backtraces", [("1", 4), ("full", 4), ("0", 0)])
def test_backtraces_follow_the_environment(value, backtraces):
    _, err = run_python(REPORTS, ZENDRIK_BACKTRACE=value)
    assert err.count("stack backtrace:\n") == backtraces and err.count(NOTE) == (backtraces == 0)
    if sys.platform == "linux":  # elsewhere a backtrace has no frames
        assert "stack backtrace:\nthread" not in err and not err.endswith("stack backtrace:\n")
