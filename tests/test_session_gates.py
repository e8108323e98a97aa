import os
import sys

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup

RANK_VARS = ["RANK", "LOCAL_RANK", "SLURM_PROCID", "OMPI_COMM_WORLD_RANK"]

REFUSAL = (
    "Zylation configuration has not been confirmed, and it cannot be done interactively here ({})."
    "\nRun zylate_model once from an interactive terminal to choose zylation targets, or set "
    "configuration_confirmed=True in your config file (or call "
    "GZL.pc.set_configuration_confirmed(True) before zylate_model) to skip the interactive step."
)


@pytest.fixture
def env(monkeypatch):
    for name in RANK_VARS:
        monkeypatch.delenv(name, raising=False)

    def set_env(**values):
        for name, value in values.items():
            monkeypatch.setenv(name, value)

    return set_env


class Stream:
    def __init__(self, answer):
        self.answer = answer
        self.asked = 0

    def isatty(self):
        self.asked += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize(
    "values, rank",
    [
        ({}, 0),
        ({"RANK": "3"}, 3),
        ({"LOCAL_RANK": "2"}, 2),
        ({"RANK": "abc", "LOCAL_RANK": "0"}, 0),
        ({"RANK": "abc", "LOCAL_RANK": "5"}, 0),
        ({"RANK": ""}, 0),
        ({"RANK": " 1 "}, 1),
        ({"RANK": "-1"}, -1),
        ({"RANK": "1_0"}, 10),
        ({"SLURM_PROCID": "4", "OMPI_COMM_WORLD_RANK": "7"}, 4),
        ({"OMPI_COMM_WORLD_RANK": "7"}, 7),
    ],
    ids=["none-set", "rank", "local-rank", "unparsable-first-decides", "unparsable-hides-later",
         "empty", "blanks", "negative", "underscore", "slurm-before-ompi", "ompi"],
)
def test_distributed_rank(env, values, rank):
    env(**values)
    assert zylsetup._distributed_rank() == rank


@pytest.fixture
def terminals(monkeypatch, env):
    def install(stdin=True, stdout=True):
        streams = Stream(stdin), Stream(stdout)
        monkeypatch.setattr(sys, "stdin", streams[0])
        monkeypatch.setattr(sys, "stdout", streams[1])
        return streams

    return install


def test_gate_passes_on_rank_zero_terminal(terminals):
    terminals()
    assert zylsetup.require_interactive_session() is None


@pytest.mark.parametrize(
    "stdin, stdout, values, reason",
    [
        (False, True, {}, "no interactive terminal is attached"),
        (True, False, {}, "no interactive terminal is attached"),
        (ValueError("closed"), True, {}, "no interactive terminal is attached"),
        (OSError("bad fd"), True, {}, "no interactive terminal is attached"),
        (True, AttributeError("gone"), {}, "no interactive terminal is attached"),
        (True, True, {"RANK": "2"}, "process rank is 2, not 0"),
        (True, True, {"LOCAL_RANK": "2"}, "process rank is 2, not 0"),
        (False, True, {"RANK": "2"}, "no interactive terminal is attached"),
    ],
    ids=["stdin-not-tty", "stdout-redirected", "stdin-closed", "stdin-oserror",
         "stdout-attributeerror", "rank-2", "local-rank-2", "terminal-reason-first"],
)
def test_gate_refusals(terminals, env, stdin, stdout, values, reason):
    env(**values)
    terminals(stdin, stdout)
    with pytest.raises(RuntimeError) as exc:
        zylsetup.require_interactive_session()
    assert str(exc.value) == REFUSAL.format(reason)


def test_gate_does_not_ask_stdout_when_stdin_is_no_terminal(terminals):
    stdin, stdout = terminals(False, True)
    with pytest.raises(RuntimeError):
        zylsetup.require_interactive_session()
    assert (stdin.asked, stdout.asked) == (1, 0)


def test_gate_without_isatty_is_no_terminal(monkeypatch, env):
    monkeypatch.setattr(sys, "stdin", object())
    with pytest.raises(RuntimeError, match=r"\(no interactive terminal is attached\)"):
        zylsetup.require_interactive_session()


def test_gate_other_stream_errors_propagate(terminals):
    terminals(KeyError("odd"), True)
    with pytest.raises(KeyError):
        zylsetup.require_interactive_session()


def test_gate_always_asks_the_rank_through_the_module(monkeypatch, terminals):
    terminals(False, True)
    asked = []
    monkeypatch.setattr(zylsetup, "_distributed_rank", lambda: asked.append(1) or 0)
    with pytest.raises(RuntimeError):
        zylsetup.require_interactive_session()
    assert asked == [1]


def test_gate_without_termios(monkeypatch, terminals):
    terminals()
    monkeypatch.setattr(zylsetup, "termios", None)
    with pytest.raises(RuntimeError) as exc:
        zylsetup.require_interactive_session()
    assert str(exc.value) == (
        "The interactive zylation-configuration TUI is not available on this platform "
        "(no termios). Set configuration_confirmed=True in your config file (or call "
        "GZL.pc.set_configuration_confirmed(True)) and configure targets via the config file or "
        "Zylpad instead."
    )


def test_refused_configurator_changes_nothing(monkeypatch, env, capsys, example_net):
    monkeypatch.setattr(sys, "stdin", Stream(False))
    before = dict(GZL.pc.__dict__)
    with pytest.raises(RuntimeError, match="no interactive terminal"):
        zylsetup.set_zylation_targets(example_net)
    assert GZL.pc.__dict__ == before
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "config_file, run_path, save_name, expected",
    [
        ("my/cfg.json", "elsewhere/run.json", "x", "my/cfg.json"),
        (None, "", "", "ZYL/ZYL_config.json"),
        (None, None, None, "ZYL/ZYL_config.json"),
        ("", None, "exp1", "exp1/exp1_config.json"),
        (None, "{cwd}/run/cfg.json", "x", "run/cfg.json"),
        (None, "run/cfg.json", "x", "run/cfg.json"),
        (None, "/elsewhere/cfg.json", "x", "{up}/elsewhere/cfg.json"),
    ],
    ids=["config-file", "defaults-empty", "defaults-none", "save-name", "relative-to-cwd",
         "already-relative", "outside-cwd"],
)
def test_config_target_path(monkeypatch, tmp_path, config_file, run_path, save_name, expected):
    monkeypatch.chdir(tmp_path)
    cwd = os.getcwd()
    up = os.path.relpath("/", cwd)
    pc = GZL.pc
    monkeypatch.setattr(pc, "get_config_file", lambda: config_file)
    monkeypatch.setattr(pc, "get_run_config_path", lambda: run_path and run_path.format(cwd=cwd))
    monkeypatch.setattr(pc, "get_save_name", lambda: save_name)
    assert zylsetup._config_target_path() == expected.format(up=up)


def test_config_target_path_falls_back_when_relpath_fails(monkeypatch):
    def refuse(*args):
        raise ValueError("path is on mount 'C:', start on mount 'D:'")

    monkeypatch.setattr(GZL.pc, "set_run_config_path", GZL.pc.set_run_config_path)
    GZL.pc.set_run_config_path("/data/run.json")
    monkeypatch.setattr(os.path, "relpath", refuse)
    assert zylsetup._config_target_path() == "/data/run.json"


def test_config_target_path_getter_errors_propagate(monkeypatch):
    def broken():
        raise LookupError("no config")

    monkeypatch.setattr(GZL.pc, "get_config_file", broken)
    with pytest.raises(LookupError, match="no config"):
        zylsetup._config_target_path()
