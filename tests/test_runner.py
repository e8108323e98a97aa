"""`python -m zylora` as a process: how it ends when the configurator cannot
run or fails."""

import os
import signal
import subprocess
import sys

import pexpect
import pytest

from zylora import zylsetup

TIMEOUT = 120  # importing torch on a busy machine is slow
RANK_NAMES = ("RANK", "LOCAL_RANK", "SLURM_PROCID", "OMPI_COMM_WORLD_RANK")


class Stream:
    def __init__(self, tty):
        self.tty = tty

    def isatty(self):
        return self.tty


def refusal_text(monkeypatch, tty, rank):
    """The refusal exactly as set_zylation_targets words it."""
    monkeypatch.setattr(sys, "stdin", Stream(tty))
    monkeypatch.setattr(sys, "stdout", Stream(tty))
    for name in RANK_NAMES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("RANK", str(rank))
    with pytest.raises(RuntimeError) as refused:
        zylsetup.set_zylation_targets(None)
    monkeypatch.undo()
    return str(refused.value)


def child_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in RANK_NAMES}
    env.update(extra)
    return env


def run_runner(tmp_path, stdin, *prelude):
    """The runner, after `prelude` (Python lines) ran in the same process."""
    code = "\n".join(prelude + ('import runpy; runpy.run_module("zylora", run_name="__main__")',))
    return subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=child_env(), stdin=stdin,
        capture_output=True, text=True, timeout=TIMEOUT,
    )


@pytest.mark.parametrize("stdin", ["devnull", "pipe"], ids=["stdin-devnull", "echo-into-stdin"])
def test_without_a_terminal_the_refusal_is_printed_without_traceback(monkeypatch, tmp_path, stdin):
    expected = refusal_text(monkeypatch, tty=False, rank=0)
    kwargs = {"stdin": subprocess.DEVNULL} if stdin == "devnull" else {"input": "\n"}
    done = subprocess.run(
        [sys.executable, "-m", "zylora"], cwd=tmp_path, env=child_env(),
        capture_output=True, text=True, timeout=TIMEOUT, **kwargs,
    )
    assert (done.returncode, done.stdout, done.stderr) == (1, "", expected + "\n")
    assert "no interactive terminal is attached" in expected
    assert list(tmp_path.iterdir()) == []


def test_a_rank_other_than_zero_is_refused_without_traceback(monkeypatch, tmp_path):
    expected = refusal_text(monkeypatch, tty=True, rank=1)
    child = pexpect.spawn(
        sys.executable, ["-m", "zylora"], cwd=str(tmp_path), env=child_env(RANK="1"),
        encoding="utf-8", timeout=TIMEOUT,
    )
    output = child.read()
    child.close()
    assert child.exitstatus == 1
    assert output.replace("\r\n", "\n") == expected + "\n"
    assert "process rank is 1, not 0" in expected
    assert "\x1b" not in output, "the terminal was left alone"


@pytest.mark.parametrize(
    "error, printed",
    [
        ("OSError(28, 'No space left on device', 'ZYL/ZYL_config.json')",
         "[Errno 28] No space left on device: 'ZYL/ZYL_config.json'\n"),
        ("ValueError('module_settings is not an object')", "module_settings is not an object\n"),
        ("ValueError()", "ValueError\n"),
    ],
    ids=["os-error", "with-text", "without-text"],
)
def test_an_error_of_the_configurator_is_printed_without_traceback(tmp_path, error, printed):
    done = run_runner(
        tmp_path, subprocess.DEVNULL,
        "from zylora import zylsetup",
        "def fail(model): raise " + error,
        "zylsetup.set_zylation_targets = fail",
    )
    assert (done.returncode, done.stdout, done.stderr) == (1, "", printed)


def test_exits_and_interrupts_keep_their_ways_out(tmp_path):
    prelude = ("from zylora import zylsetup", "def leave(model): raise {}",
               "zylsetup.set_zylation_targets = leave")
    exited = run_runner(tmp_path, subprocess.DEVNULL, *(line.format("SystemExit(0)") for line in prelude))
    assert (exited.returncode, exited.stdout, exited.stderr) == (0, "", "")
    interrupted = run_runner(tmp_path, subprocess.DEVNULL,
                             *(line.format("KeyboardInterrupt") for line in prelude))
    assert interrupted.returncode == -signal.SIGINT
    assert "Traceback" in interrupted.stderr and interrupted.stderr.rstrip().endswith("KeyboardInterrupt")
