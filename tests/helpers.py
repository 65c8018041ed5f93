import ctypes
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from model import LONG_MAX, LONG_TOO_LARGE, RANGE, SIZE_MAX  # noqa: F401 (the build's word, for the tests)
from zendrik import Matrix


def raiser(exc):
    def f():
        raise exc
    return f


class Idx:
    """An index whose __index__ runs `f`."""
    def __init__(self, f):
        self.f = f

    def __index__(self):
        return self.f()


class Seq:
    """A user sequence: `it()` gives its iterator, `n()` its reported length."""
    def __init__(self, it, n=lambda: 0):
        self.it, self.n = it, n

    def __getitem__(self, i):
        raise IndexError(i)

    def __len__(self):
        return self.n()

    def __iter__(self):
        return self.it()


def catch(f):
    try:
        f()
    except BaseException as e:
        return e
    raise AssertionError("no exception raised")


PanicException = type(catch(lambda: Matrix([]).get(0, 0)))


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def element_overflow(v):
    """The OverflowError text for an element outside 0 to 255: a C long first, then a byte."""
    return RANGE if -LONG_MAX - 1 <= v <= LONG_MAX else LONG_TOO_LARGE


def _emulated():
    """Whether a user-mode emulator (qemu-user) runs this interpreter: the
    kernel then describes the host's x86 processors to a foreign program."""
    import platform
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            x86_host = "vendor_id" in cpuinfo.read()
    except OSError:
        return False
    return x86_host and platform.machine() not in ("x86_64", "i386", "i686")


emulated = _emulated()


def time_limit(seconds):
    """A limit of `seconds` natively: an emulator takes about ten times as long."""
    return seconds * 10 if emulated else seconds


# The emulator maps the program's memory inside a space it reserved at the
# start, so an address-space limit never stops an allocation there.
limits_address_space = pytest.mark.skipif(
    emulated, reason="under qemu-user an address-space limit does not bind the program's allocations")


def run_python(code, **env):
    """Run `code` in a fresh interpreter; returns (stdout, stderr)."""
    full_env = {k: v for k, v in os.environ.items() if k != "ZENDRIK_BACKTRACE"}
    full_env.update(env)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=time_limit(300))
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def only_on_linux(what):
    """For a test of something only Linux has: elsewhere it skips, naming it."""
    return pytest.mark.skipif(sys.platform != "linux", reason=f"needs {what}, which only Linux has")


def resident_bytes():
    """The memory the process holds: its resident set (Linux), its working set (Windows)."""
    if sys.platform == "win32":
        class Counters(ctypes.Structure):
            _fields_ = [("cb", ctypes.c_ulong), ("PageFaultCount", ctypes.c_ulong),
                        ("PeakWorkingSetSize", ctypes.c_size_t), ("WorkingSetSize", ctypes.c_size_t),
                        ("others", ctypes.c_size_t * 6)]
        counters = Counters(cb=ctypes.sizeof(Counters))
        get_info = ctypes.windll.kernel32.K32GetProcessMemoryInfo
        get_info.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
        current_process = ctypes.c_void_p(-1)
        assert get_info(current_process, ctypes.byref(counters), counters.cb)
        return counters.WorkingSetSize
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# An interpreter built without the GIL (3.13t): calls run on several cores at once.
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# 3.13 without the GIL crashes when PyList_New runs out of memory: a list
# whose item array cannot be allocated is freed half-made (in list_dealloc),
# or its allocator's own clean-up before giving up crashes (in mimalloc).
lists_survive_no_memory = pytest.mark.skipif(
    free_threaded and sys.version_info < (3, 14),
    reason="3.13 without the GIL crashes when PyList_New runs out of memory")

sanitized = os.environ.get("ZENDRIK_SANITIZED") == "1"
# The address sanitizer reserves terabytes of shadow memory and replaces the
# allocator, so address-space limits and resident-size readings mean nothing.
needs_plain_allocator = pytest.mark.skipif(sanitized, reason="sanitizer owns the allocator")


def _has_fault_hooks():
    import zendrik
    try:
        ctypes.CDLL(zendrik.__file__).zendrik_fault_arm
    except (OSError, AttributeError):
        return False
    return True


# Built with allocations that fail on demand (make test-faults, make coverage).
fault_hooks = _has_fault_hooks()
