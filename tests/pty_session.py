"""`python -m zylora` in a real pseudo-terminal, read back through a 120x40
terminal emulator."""

import os
import re
import signal
import sys
import termios
import time

import pexpect
import pyte
import pytest

COLUMNS, LINES = 120, 40
TIMEOUT = 90  # importing torch on a busy machine is slow
CANCEL_LINES = [
    "Configuration cancelled — training did not start.",
    "Re-run to configure again, or set configuration_confirmed=True "
    "(GZL.pc.set_configuration_confirmed(True)) to skip this screen.",
]
ALT_ON, ALT_OFF = "\x1b[?1049h", "\x1b[?1049l"
CURSOR_OFF, CURSOR_ON = "\x1b[?25l", "\x1b[?25h"
CLEAR = "\x1b[2J\x1b[H"  # every frame starts with it
# What the child does with SIGINT: "inherit" it from the test run (as a
# launcher's children do), or start with it at its default or ignored.
SIGINT_AT_START = {"inherit": None, "default": signal.SIG_DFL, "ignore": signal.SIG_IGN}


class Session:
    """One run of the demo: the child, everything it wrote, and the screen."""

    def __init__(self, cwd, args=("-m", "zylora"), sigint="inherit"):
        env = {k: v for k, v in os.environ.items()
               if k not in ("COLUMNS", "LINES", "RANK", "LOCAL_RANK", "SLURM_PROCID",
                            "OMPI_COMM_WORLD_RANK")}
        env["TERM"] = "xterm-256color"
        disposition = SIGINT_AT_START[sigint]

        def start():
            # SIGTERM and SIGHUP as a terminal's programs get them, whatever
            # the test run inherited (nohup, a launcher's mask).
            signal.pthread_sigmask(signal.SIG_SETMASK, [])
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            signal.signal(signal.SIGHUP, signal.SIG_DFL)
            if disposition is not None:
                signal.signal(signal.SIGINT, disposition)

        self.child = pexpect.spawn(
            sys.executable, list(args), cwd=str(cwd), env=env,
            dimensions=(LINES, COLUMNS), encoding="utf-8", codec_errors="replace",
            preexec_fn=start,
        )
        self.mode_before = termios.tcgetattr(self.child.child_fd)
        self.screen = pyte.Screen(COLUMNS, LINES)
        self.stream = pyte.Stream(self.screen)
        self.output = ""

    def _take(self, timeout):
        """Read what arrives within timeout; False when nothing did."""
        try:
            chunk = self.child.read_nonblocking(65536, timeout=timeout)
        except pexpect.TIMEOUT:
            return False
        self.output += chunk
        self.stream.feed(chunk)
        return True

    def text(self):
        return "\n".join(line.rstrip() for line in self.screen.display)

    def wait_for_text(self, *needles):
        """Read until the screen shows every needle, perhaps in the middle of
        a frame."""
        deadline = time.monotonic() + TIMEOUT
        while not all(n in self.text() for n in needles):
            if time.monotonic() > deadline:
                pytest.fail(f"screen never showed {needles!r}:\n{self.text()}")
            try:
                self._take(0.2)
            except pexpect.EOF:
                pytest.fail(f"ended before showing {needles!r}:\n{self.output}")

    def wait_for(self, *needles):
        """Read until the screen shows every needle and the frame holding them
        is complete, with the configurator waiting for a key."""
        self.wait_for_text(*needles)
        self.await_frame(self.frames_drawn() - 1)

    def frames_drawn(self):
        return self.output.count(CLEAR)

    def waiting_for_key(self):
        # The key reader holds the terminal in raw mode while it waits, and
        # only then; the frame before it has been written whole by that time.
        return not termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON

    def await_frame(self, frames_before, quiet=0.2):
        """Read until a frame after the first `frames_before` ones is on the
        screen whole and the configurator waits for the next key, or until it
        ended. A pause in the output alone says nothing on a busy machine."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            if time.monotonic() > deadline:
                pytest.fail("no complete frame after the keys sent:\n" + self.text())
            try:
                if self._take(0.05):
                    continue
                if self.frames_drawn() > frames_before and self.waiting_for_key():
                    # What was written just before may still be in the pty.
                    if not self._take(quiet):
                        return
            except pexpect.EOF:
                return

    def send(self, keys):
        self.child.send(keys)

    def press(self, key):
        """Send one key and wait until the frame it leads to is complete."""
        before = self.frames_drawn()
        self.send(key)
        self.await_frame(before)

    def highlighted(self):
        rows = [line for line in self.text().split("\n") if line.startswith("> ")]
        return rows[0] if rows else ""

    def down_to(self, module_id):
        """Move the highlight down to the row of module_id."""
        pattern = re.compile(r"^> .*" + re.escape(module_id) + r"(\s|$)")
        for _ in range(60):
            if pattern.search(self.highlighted()):
                return
            self.press("j")
        pytest.fail(f"no row for {module_id}:\n{self.text()}")

    def finish(self):
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                self._take(0.5)
            except pexpect.EOF:
                break
            if time.monotonic() > deadline:
                self.child.terminate(force=True)
                pytest.fail("the configurator did not end:\n" + self.text())
        self.child.wait()
        self.mode_after = termios.tcgetattr(self.child.child_fd)
        self.child.close()
        self.signalstatus = self.child.signalstatus
        return self.child.exitstatus

    def hang_up(self):
        """Close the terminal under the program, as closing its window does,
        and wait for the program to end; returns the signal that ended it."""
        self.child.ptyproc.fileobj.close()
        deadline = time.monotonic() + TIMEOUT
        while self.child.ptyproc.isalive():
            if time.monotonic() > deadline:
                self.child.ptyproc.kill(signal.SIGKILL)
                pytest.fail("the configurator did not end once its terminal was gone")
            time.sleep(0.05)
        self.child.ptyproc.closed = True
        return self.child.ptyproc.signalstatus

    def normal_screen_output(self):
        """What was printed after the alternate screen was left for good."""
        return self.output[self.output.rindex(ALT_OFF) + len(ALT_OFF):].replace("\r\n", "\n")

    def assert_terminal_restored(self):
        assert self.output.count(ALT_ON) >= 1
        assert self.output.rindex(ALT_OFF) > self.output.rindex(ALT_ON)
        assert self.output.rindex(CURSOR_ON) > self.output.rindex(CURSOR_OFF)
        assert (1049 << 5) not in self.screen.mode
        assert not self.screen.cursor.hidden
        assert self.mode_after == self.mode_before

    def settle(self, quiet=0.25):
        """Read until the program has been silent for `quiet` seconds."""
        try:
            while self._take(quiet):
                pass
        except pexpect.EOF:
            pass

    def type_keys(self, *keys):
        """Send keys one at a time, each once the frame of the one before is
        complete; for keys that may leave the screen as it was."""
        for key in keys:
            self.press(key)

    def lines(self):
        return self.text().split("\n")

    def down_until(self, pattern, limit=80):
        """Move the highlight down until its row matches `pattern`."""
        for _ in range(limit):
            if re.search(pattern, self.highlighted()):
                return self.highlighted()
            self.type_keys("\x1b[B")
        pytest.fail("no row matching %r:\n%s" % (pattern, self.text()))


@pytest.fixture
def session(tmp_path, request):
    """A running demo; parametrize it indirectly with a SIGINT_AT_START key."""
    s = Session(tmp_path, sigint=getattr(request, "param", "inherit"))
    yield s
    if s.child.isalive():
        s.child.terminate(force=True)
