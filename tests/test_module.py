import gc
import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest
import zendrik
from helpers import catch, fault_hooks, free_threaded, only_on_linux, run_python
from zendrik import Matrix

METHODS = {"to_list": [], "nrows": [], "ncols": [], "copy": [], "get": ["row", "col"],
           "add_rows": ["target", "source"], "swap_rows": ["row1", "row2"], "is_zero_row": ["row"],
           "echelon_form_last_row": [], "echelon_form": [], "row_echelon_full_matrix": [],
           "append_row": ["v"], "append_column": ["v"], "rank": [], "kernel": []}


def test_module_and_type_attributes():
    assert zendrik.__all__ == ["Matrix"] and zendrik.Matrix is Matrix
    assert zendrik.__doc__ == "A Python module implemented in C++."
    assert [k for k in vars(zendrik) if not k.startswith("__")] == ["Matrix"]
    assert (Matrix.__module__, Matrix.__name__, Matrix.__qualname__) == ("builtins", "Matrix", "Matrix")
    assert repr(Matrix) == "<class 'builtins.Matrix'>"
    assert Matrix.__text_signature__ == "(elements)" and Matrix.__doc__ == ""
    assert list(inspect.signature(Matrix).parameters) == ["elements"]


def test_methods_and_signatures():
    public = [k for k in vars(Matrix) if not k.startswith("__")]
    assert public == list(METHODS)  # every method, in the order of the method table
    for name in public:
        method = getattr(Matrix, name)
        assert method.__text_signature__ == "($self" + "".join(", " + p for p in METHODS[name]) + ")"
        assert list(inspect.signature(method).parameters) == ["self"] + METHODS[name]
        assert method.__doc__ is None and type(method).__name__ == "method_descriptor"


def test_instances_are_closed():
    m = Matrix([[1]])
    assert not hasattr(m, "__dict__") and not gc.is_tracked(m)
    assert type(catch(lambda: setattr(m, "rows", 1))) is AttributeError
    assert type(catch(lambda: m.rows)) is AttributeError
    assert type(catch(lambda: weakref.ref(m))) is TypeError
    for call in [lambda: len(m), lambda: m[0], lambda: iter(m), lambda: m < m]:
        assert type(catch(call)) is TypeError
    assert m == m and m != Matrix([[1]]) and hash(m) == object.__hash__(m)
    e = catch(lambda: type("Sub", (Matrix,), {}))
    assert type(e) is TypeError and str(e) == "type 'builtins.Matrix' is not an acceptable base type"


def test_reimport_gives_same_module_and_type():
    del sys.modules["zendrik"]
    try:
        again = importlib.import_module("zendrik")
    finally:
        sys.modules["zendrik"] = zendrik
    assert again is zendrik and again.Matrix is Matrix


def test_type_reference_count_stays_put():
    m = Matrix([[1, 0], [0, 1]])

    def churn():
        for _ in range(1000):
            Matrix([[1]]).copy().copy().to_list()
            repr(m)
            catch(lambda: Matrix([[1], [256]]))
            catch(lambda: m.get(0))
        for _ in range(5):
            catch(lambda: m.copy().get(9, 9))
        gc.collect()
    churn()
    before = sys.getrefcount(Matrix)
    churn()
    assert sys.getrefcount(Matrix) == before
    held = [m.copy() for _ in range(100)]
    assert sys.getrefcount(Matrix) == before + 100
    del held
    assert sys.getrefcount(Matrix) == before


@only_on_linux("ELF symbol tables")  # make dist-windows checks a DLL's exports
def test_only_the_init_function_is_exported():
    nm = shutil.which("nm") or pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", zendrik.__file__], capture_output=True,
                             text=True, check=True).stdout
    names = [line.split()[-1] for line in listing.splitlines()]
    if fault_hooks:  # the allocation functions and their controls, in that build only
        names = [n for n in names if not n.startswith(("_Znw", "_Zna", "_Zdl", "_Zda",
                                                       "zendrik_fault_"))]
    assert names == ["PyInit_zendrik"]


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    out, _ = run_python("""
        import _testcapi, zendrik
        code = '''if 1:
            import os
            try:
                import zendrik
                os.write(1, b"imported\\\\n")
            except ImportError as e:
                os.write(1, str(e).encode() + b"\\\\n")
        '''
        assert _testcapi.run_in_subinterp(code) == 0
        assert _testcapi.run_in_subinterp(code) == 0
        print(zendrik.Matrix([[1, 0]]).copy().to_list())
    """)
    refused, again, works = out.splitlines()
    # Without the GIL the interpreter refuses such a module itself, before it runs.
    assert (("module zendrik does not support loading in subinterpreters" if free_threaded else
             "modules do not yet support subinterpreters, see") in refused and again == refused)
    assert works == "[[1, 0]]"


# A runtime's finaliser that calls methods: without the GIL the long ones run
# detached from the interpreter, and the finalising thread attaches again.
def test_a_finaliser_at_exit_calls_methods():
    out, _ = run_python("""
        from zendrik import Matrix

        class Holder:  # in a cycle: collected as the runtime ends
            def __init__(self):
                self.m, self.cycle = Matrix([[1, 0], [1, 1]]), self

            def __del__(self):
                print(self.m.echelon_form()[0].rank(), self.m.copy().to_list(), flush=True)

        Holder()
    """)
    assert out == "2 [[1, 0], [1, 1]]\n"


def test_import_is_refused_without_an_exit_hook():
    # The hook that tells the module its runtime ended, so that a second
    # runtime is not handed the first one's objects: with all of the
    # runtime's places for such hooks taken, the import is refused.
    out, _ = run_python("""
        import ctypes, sys
        does_nothing = (ctypes.windll.kernel32.GetCurrentProcessId if sys.platform == "win32"
                        else ctypes.CDLL(None).getpid)
        at_exit = ctypes.pythonapi.Py_AtExit
        at_exit.argtypes = [ctypes.c_void_p]
        while at_exit(ctypes.cast(does_nothing, ctypes.c_void_p)) == 0:
            pass
        for _ in range(2):
            try:
                import zendrik
            except ImportError as e:
                print(e)
    """)
    assert out == ("zendrik cannot be imported: every place for a function to run at the end of "
                   "the Python runtime (Py_AtExit) is taken, and zendrik needs one\n") * 2


SUBINTERPRETERS = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"


def test_a_refused_subinterpreter_changes_nothing():
    pytest.importorskip(SUBINTERPRETERS)
    out, _ = run_python(f"""
        import {SUBINTERPRETERS} as interpreters
        code = '''if 1:
            import os
            try:
                import zendrik
            except ImportError as e:
                os.write(1, str(e).encode() + b"\\\\n")
        '''
        interpreters.run_string(interpreters.create(), code)
        import zendrik
        print(zendrik.Matrix([[1, 0]]).copy().to_list())
    """)
    assert out == "module zendrik does not support loading in subinterpreters\n[[1, 0]]\n"
