"""kov-sim in another process, as a user runs it; the request lines it prints arrive on a
queue, so a test can act right after a given request was served."""

import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Dict, Optional, Sequence

from child_python import child_environment

WAIT = 30.0  # bound on anything awaited here (real seconds)


class KovSim:
    def __init__(self, options: Sequence[str], cwd: Optional[Path] = None,
                 env: Optional[Dict[str, str]] = None) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "zol_kov_sim"] + list(options),
            cwd=None if cwd is None else str(cwd),
            env=child_environment() if env is None else env,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            universal_newlines=True,
        )
        self.lines: "queue.Queue[str]" = queue.Queue()
        assert self.proc.stdout is not None
        self.port = self.proc.stdout.readline().strip()
        assert self.port.startswith(("/dev/", "tcp://")), self.port
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            self.lines.put(line)

    def wait_for(self, pattern: str) -> None:
        deadline = time.monotonic() + WAIT
        while True:
            left = deadline - time.monotonic()
            assert left > 0, "kov-sim never served a request like %r" % pattern
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if re.search(pattern, line):
                return

    def close(self) -> None:
        self.proc.send_signal(signal.SIGTERM)
        try:
            assert self.proc.wait(timeout=WAIT) == 0
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.reader.join(WAIT)
            assert self.proc.stdout is not None
            self.proc.stdout.close()
