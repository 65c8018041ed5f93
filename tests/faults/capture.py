"""What a call writes to file descriptor 2, as the interpreter's error printer
and the module's failure reports write there directly."""
import os
import re
import sys
import tempfile


class Stderr:
    """Collects what is written to file descriptor 2."""
    sink = None

    def __enter__(self):
        if Stderr.sink is None:
            Stderr.sink = tempfile.TemporaryFile()
        os.ftruncate(Stderr.sink.fileno(), 0)
        os.lseek(Stderr.sink.fileno(), 0, os.SEEK_SET)
        self.saved = os.dup(2)
        os.dup2(Stderr.sink.fileno(), 2)
        return self

    def __exit__(self, *exc):
        # What the interpreter's printer left in sys.stderr's buffer belongs here.
        sys.stderr.flush()
        os.dup2(self.saved, 2)
        os.close(self.saved)
        os.lseek(Stderr.sink.fileno(), 0, os.SEEK_SET)
        text = os.read(Stderr.sink.fileno(), 1 << 16).decode(errors="replace")
        # Object addresses differ from run to run.
        self.text = re.sub(r" at 0x[0-9a-f]+", " at 0x", text)
