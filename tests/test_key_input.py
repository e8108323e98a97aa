import errno
import os
import pty
import select
import signal
import termios
import time
import types

import pytest

from zylora import zylsetup

KEY_TESTS = [
    "is_up_key", "is_down_key", "is_left_key", "is_right_key", "is_page_up_key",
    "is_page_down_key", "is_delete_key", "is_enter_key", "is_tab_key", "is_select_key",
]

# key text -> the tests that accept it; every other test must refuse it.
CLASSIFIED = [
    ("k", {"is_up_key"}),
    ("K", set()),
    ("j", {"is_down_key"}),
    ("h", set()),
    ("l", set()),
    ("\x1b[A", {"is_up_key"}),
    ("\x1bOA", {"is_up_key"}),
    ("\x1b[1;5A", {"is_up_key"}),
    ("\x1bO5A", set()),
    ("\x1b[B", {"is_down_key"}),
    ("\x1bOB", {"is_down_key"}),
    ("\x1b[1;2B", {"is_down_key"}),
    ("\x1b[D", {"is_left_key"}),
    ("\x1b[1;2D", {"is_left_key"}),
    ("\x1bOC", {"is_right_key"}),
    ("\x1b[C", {"is_right_key"}),
    ("[A", set()),
    ("\x1b[5~", {"is_page_up_key"}),
    ("\x1b[5;2~", {"is_page_up_key"}),
    ("\x1b[15~", set()),
    ("\x1b[6~", {"is_page_down_key"}),
    ("\x1b[6;5~", {"is_page_down_key"}),
    ("\x1b[3~", {"is_delete_key"}),
    ("\x1b[3;5~", {"is_delete_key"}),
    ("\x1b[3;5", set()),
    ("\x7f", set()),
    ("\r", {"is_enter_key", "is_select_key"}),
    ("\n", {"is_enter_key", "is_select_key"}),
    ("\r\n", set()),
    (" ", {"is_select_key"}),
    ("\t", {"is_tab_key"}),
    ("\x1b", set()),
    ("", set()),
]


@pytest.mark.parametrize("key,accepted", CLASSIFIED, ids=[repr(k) for k, _ in CLASSIFIED])
def test_key_tests_classify_exactly(key, accepted):
    for name in KEY_TESTS:
        result = getattr(zylsetup, name)(key=key)
        assert type(result) is bool
        assert result is (name in accepted), name


def test_alternate_screen_sequences_are_written_exactly(capsys):
    zylsetup.enter_alternate_screen()
    assert capsys.readouterr().out == "\x1b[?1049h\x1b[?25l\x1b[2J\x1b[H"
    zylsetup.exit_alternate_screen()
    zylsetup.exit_alternate_screen()
    # Leaving first ends whatever a frame cut short left open: CAN, ST, and
    # the styling reset.
    assert capsys.readouterr().out == "\x18\x1b\\\x1b[0m\x1b[?25h\x1b[?1049l" * 2


# --- read_single_key on a real pseudo-terminal -------------------------------

class Typist:
    """The module's `os` and `select`, with keys that arrive only once the
    reader waits.

    Bytes queued with `during` are written to the terminal just before the
    reader first waits for or reads a byte, that is once it has switched to
    raw mode, the way a user types while the configurator waits for a key.
    """

    def __init__(self, master):
        self.master = master
        self.pending = b""

    def during(self, data):
        self.pending += data

    def _type(self):
        if self.pending:
            os.write(self.master, self.pending)
            self.pending = b""

    def read(self, fd, n):
        self._type()
        return os.read(fd, n)

    def select(self, r, w, x, timeout):
        self._type()
        return select.select(r, w, x, timeout)

    def __getattr__(self, name):
        return getattr(os, name)


@pytest.fixture
def terminal(monkeypatch):
    master, slave = pty.openpty()
    typist = Typist(master)
    monkeypatch.setattr(zylsetup, "sys", types.SimpleNamespace(stdin=types.SimpleNamespace(fileno=lambda: slave)))
    monkeypatch.setattr(zylsetup, "os", typist)
    monkeypatch.setattr(zylsetup, "select", types.SimpleNamespace(select=typist.select))

    def too_slow(signum, frame):
        raise TimeoutError("read_single_key is still waiting for a key")

    previous = signal.signal(signal.SIGALRM, too_slow)
    signal.setitimer(signal.ITIMER_REAL, 5.0)
    terminal = types.SimpleNamespace(master=master, slave=slave, typist=typist,
                                     attrs=lambda: termios.tcgetattr(slave))
    yield terminal
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    os.close(master)
    os.close(slave)


READS = [
    ("letter", b"a", "a"),
    ("enter", b"\r", "\r"),
    ("backspace", b"\x7f", "\x7f"),
    ("up", b"\x1b[A", "\x1b[A"),
    ("up application mode", b"\x1bOA", "\x1bOA"),
    ("ctrl up", b"\x1b[1;5A", "\x1b[1;5A"),
    ("page down", b"\x1b[6~", "\x1b[6~"),
    ("alt x", b"\x1bx", "\x1bx"),
    ("latin-1 byte", b"\xe9", "\xe9"),
    ("csi ended by a latin-1 letter", b"\x1b[1\xe9", "\x1b[1\xe9"),
    ("escape then digit", b"\x1b1", "\x1b1"),
    ("lone csi", b"\x1b[", "\x1b["),
]


@pytest.mark.parametrize("typed,expected", [r[1:] for r in READS], ids=[r[0] for r in READS])
def test_read_single_key_reads_one_key(terminal, typed, expected):
    before = terminal.attrs()
    terminal.typist.during(typed)
    assert zylsetup.read_single_key() == expected
    assert terminal.attrs() == before


def test_lone_escape_returns_after_a_short_wait(terminal):
    terminal.typist.during(b"\x1b")
    started = time.monotonic()
    assert zylsetup.read_single_key() == "\x1b"
    assert 0.04 <= time.monotonic() - started < 1.0


def test_multibyte_character_arrives_byte_by_byte(terminal):
    terminal.typist.during("é".encode("utf-8"))
    assert [zylsetup.read_single_key(), zylsetup.read_single_key()] == ["\xc3", "\xa9"]


def test_keys_typed_ahead_are_all_read_in_order(terminal):
    # Typed while the terminal is in its normal mode, between two reads; keys
    # that line editing acts on at once (Backspace, Enter) are left out.
    keys = ["a", "\x1b[A", "b", "\x1b[B", "\x1b[5~", "c", "\x1bOA", "d", "\x1b[1;5A", "e",
            " ", "\x1b[6~", "f", "\x1b[3~", "g", "\x1b[D", "h", "\x1b[C", "i", "\t"]
    assert len(keys) == 20
    before = terminal.attrs()
    os.write(terminal.master, "".join(keys).encode("latin-1"))
    assert [zylsetup.read_single_key() for _ in keys] == keys
    assert terminal.attrs() == before


def test_interrupt_byte_raises_keyboard_interrupt_and_restores(terminal):
    before = terminal.attrs()
    terminal.typist.during(b"\x03")
    with pytest.raises(KeyboardInterrupt):
        zylsetup.read_single_key()
    assert terminal.attrs() == before


def test_interrupt_byte_inside_a_sequence_is_a_byte(terminal):
    terminal.typist.during(b"\x1b[\x03A")
    assert zylsetup.read_single_key() == "\x1b[\x03A"


def test_error_while_reading_restores_the_terminal(terminal, monkeypatch):
    before = terminal.attrs()

    def broken_read(fd, n):
        raise OSError(5, "Input/output error")

    terminal.typist.during(b"x")
    monkeypatch.setattr(terminal.typist, "read", broken_read)
    with pytest.raises(OSError, match="Input/output error"):
        zylsetup.read_single_key()
    assert terminal.attrs() == before


def failing_drain(error):
    """The module's `termios`, whose TCSADRAIN requests fail with `error`."""
    def tcsetattr(fd, when, attributes):
        calls.append(when)
        if when == termios.TCSADRAIN:
            raise error
        termios.tcsetattr(fd, when, attributes)

    calls = []
    return types.SimpleNamespace(tcsetattr=tcsetattr, calls=calls, **{
        name: getattr(termios, name) for name in ("tcgetattr", "TCSADRAIN", "TCSANOW", "error")})


# A signal landing while the terminal drains fails the request unapplied
# (EINTR); a terminal that is gone fails it for good (EIO).
@pytest.mark.parametrize("errno_, typed, outcome", [
    (errno.EINTR, b"q", "q"), (errno.EINTR, b"\x03", KeyboardInterrupt), (errno.EIO, b"\x03", KeyboardInterrupt),
], ids=["signal-key", "signal-ctrl-c", "gone-ctrl-c"])
def test_a_failing_restore_neither_hides_the_outcome_nor_leaves_raw_mode(terminal, monkeypatch,
                                                                       errno_, typed, outcome):
    fake = failing_drain(termios.error(errno_, os.strerror(errno_)))
    monkeypatch.setattr(zylsetup, "termios", fake)
    before = terminal.attrs()
    terminal.typist.during(typed)
    if outcome is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            zylsetup.read_single_key()
    else:
        assert zylsetup.read_single_key() == outcome
    if errno_ == errno.EINTR:
        assert fake.calls[-2:] == [termios.TCSADRAIN, termios.TCSANOW]
        assert terminal.attrs() == before


def test_terminal_is_raw_while_reading(terminal):
    seen = []

    typed = terminal.typist.read

    def watching_read(fd, n):
        seen.append(termios.tcgetattr(fd)[3] & (termios.ICANON | termios.ECHO | termios.ISIG))
        return typed(fd, n)

    terminal.typist.during(b"q")
    terminal.typist.read = watching_read
    assert zylsetup.read_single_key() == "q"
    assert seen == [0]
    assert terminal.attrs()[3] & termios.ICANON


class EndOfInput(Typist):
    """Input that ends after the given bytes: reads return b"" from then on."""

    def __init__(self, master, data):
        super().__init__(master)
        self.data = data

    def read(self, fd, n):
        chunk, self.data = self.data[:n], self.data[n:]
        return chunk


@pytest.mark.parametrize("data,expected", [
    (b"", ""),
    (b"\x1b", "\x1b"),
    (b"\x1b[", "\x1b["),
    (b"\x1b[1;", "\x1b[1;"),
], ids=["nothing", "escape", "csi", "unfinished parameters"])
def test_end_of_input(terminal, monkeypatch, data, expected):
    # At end of input the descriptor stays readable and every read is empty.
    monkeypatch.setattr(zylsetup, "os", EndOfInput(terminal.master, data))
    monkeypatch.setattr(zylsetup, "select", types.SimpleNamespace(
        select=lambda r, w, x, timeout: (list(r), [], [])))
    before = terminal.attrs()
    assert zylsetup.read_single_key() == expected
    assert terminal.attrs() == before


def test_terminal_that_is_not_a_terminal_fails_untouched(monkeypatch):
    read_end, write_end = os.pipe()
    try:
        monkeypatch.setattr(zylsetup, "sys", types.SimpleNamespace(
            stdin=types.SimpleNamespace(fileno=lambda: read_end)))
        with pytest.raises(termios.error):
            zylsetup.read_single_key()
    finally:
        os.close(read_end)
        os.close(write_end)


# --- leaving the alternate screen after a frame that was cut short ------------

import codecs  # noqa: E402
import threading  # noqa: E402

import pyte  # noqa: E402

CANCELLED = "Configuration cancelled \u2014 training did not start."

# The kinds of text a frame holds, so that some cut lands inside each: styled
# text (CSI), wide and multi-byte characters, a charset switch, and string
# sequences ended by BEL and by ST, as a module name or a description might
# carry them.
FRAME = (
    "\x1b[2J\x1b[H"
    "\x1b[1m\x1b[38;2;232;238;236m[ Targets \u2502 Run settings ]\x1b[0m\n"
    "\x1b]0;zylora\x07"
    "> \x1b[38;2;26;188;156m\u2588\u2588\x1b[0m  .embed  [Embedding]\n"
    "\x1b(B"
    "\x1b]8;;file:///tmp/x\x1b\\link\x1b]8;;\x1b\\\n"
    "\x1b[?25l\x1b[48;5;17m  footer\x1b[0m\n"
)


def _written_by(capsys, fn):
    fn()
    return capsys.readouterr().out


def _on_a_terminal(chunks):
    """What a terminal shows after the chunks, each passed through the tty's
    output processing (line feeds become CR LF) and decoded as a terminal
    decodes its input, keeping a character that was cut in half."""
    screen = pyte.Screen(200, 24)
    stream = pyte.ByteStream(screen)
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    for chunk in chunks:
        text = decoder.decode(chunk.replace(b"\n", b"\r\n"))
        pyte.Stream.feed(stream, text)
    return screen


FRAME_BYTES = FRAME.encode("utf-8")


@pytest.mark.parametrize("cut", range(len(FRAME_BYTES) + 1),
                         ids=lambda cut: "%d-after-%r" % (cut, FRAME_BYTES[max(cut - 5, 0):cut]))
def test_leaving_after_a_cut_frame_gives_the_terminal_back(capsys, cut):
    enter = _written_by(capsys, zylsetup.enter_alternate_screen).encode("utf-8")
    leave = _written_by(capsys, zylsetup.exit_alternate_screen).encode("utf-8")
    frame = FRAME_BYTES[:cut]
    screen = _on_a_terminal([enter, frame, leave, (CANCELLED + "\n").encode("utf-8")])
    assert not screen.cursor.hidden
    assert (1049 << 5) not in screen.mode
    shown = [line for line in screen.display if CANCELLED in line]
    assert len(shown) == 1, screen.display
    # Nothing of the restoring sequences may show as text, and whatever
    # styling the cut frame left switched on is off again.
    assert "[?" not in shown[0]
    row = screen.display.index(shown[0])
    column = shown[0].index(CANCELLED)
    for char in [screen.buffer[row][column + i] for i in range(len(CANCELLED))]:
        assert (char.fg, char.bg, char.bold, char.reverse) == ("default", "default", False, False)


class Signalled(Exception):
    pass


def test_a_signal_the_wait_does_not_see_still_interrupts_it(terminal):
    # The handler is tripped while the reader is already waiting, but the
    # wait itself is not interrupted: the signal goes to another thread, as
    # it does in effect when it lands just before the wait begins. (Not
    # SIGINT: the test run may have inherited it ignored.)
    def handler(signum, frame):
        raise Signalled

    previous = signal.signal(signal.SIGUSR1, handler)
    before = terminal.attrs()
    sender = threading.Timer(0.2, lambda: signal.pthread_kill(threading.get_ident(), signal.SIGUSR1))
    started = time.monotonic()
    sender.start()
    try:
        with pytest.raises(Signalled):
            zylsetup.read_single_key()
    finally:
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert time.monotonic() - started < 2.0
    assert terminal.attrs() == before
