import subprocess
import sys
import textwrap

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup


def run_isolated(code):
    """Run code in a fresh interpreter without a terminal attached."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_import_without_terminal_changes_nothing_in_pc():
    result = run_isolated(
        """
        from zylora import globals_zylora as GZL
        before = dict(GZL.pc.__dict__)
        from zylora import zylsetup
        assert GZL.pc.__dict__ == before, (before, GZL.pc.__dict__)
        assert zylsetup.GZL is GZL
        assert zylsetup.DESCRIPTION_CACHE is None
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize(
    "blocked, expect_none",
    [
        pytest.param(("torch",), ("torch",), id="torch-missing"),
        pytest.param(("tty",), ("termios", "tty"), id="tty-missing-clears-both"),
        pytest.param(("termios",), ("termios", "tty"), id="termios-missing"),
    ],
)
def test_optional_imports_become_none(blocked, expect_none):
    result = run_isolated(
        f"""
        import sys
        for name in {blocked!r}:
            sys.modules[name] = None  # makes `import name` raise ImportError
        from zylora import zylsetup
        print(sorted(n for n in ("torch", "termios", "tty") if getattr(zylsetup, n) is None))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(sorted(expect_none))


def test_failing_globals_import_reaches_caller_unchanged():
    result = run_isolated(
        """
        import sys
        sys.modules["zylora.globals_zylora"] = None
        def attempt(statement):
            try:
                exec(statement)
            except BaseException as e:
                return type(e), str(e)
        own = attempt("import zylora.globals_zylora")
        seen = attempt("from zylora import zylsetup")
        assert own is not None and seen == own, (own, seen)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_bound_modules_and_constants_in_order():
    names = [n for n in vars(zylsetup) if not n.startswith("__")]
    expected = [
        "sys", "shutil", "json", "os", "select", "re", "termios", "tty", "GZL", "torch",
        "COLOR_ZYLATE", "COLOR_TRACK", "COLOR_ATTENTION", "COLOR_ACCENT", "ANSI_ESCAPE_RE",
        "RUNTIME_ONLY_CONFIG_KEYS", "DESCRIPTION_FILE_NAME", "DESCRIPTION_CACHE",
        "LABEL_IMPACTFUL", "LABEL_SUPPORTING", "SWITCH_MODE_NAMES", "FORWARD_FUNCTION_NAMES",
        "CUSTOMIZABLE_SETTING_NAMES", "HR", "MODE_VERB",
    ]
    assert names[: len(expected)] == expected
    assert zylsetup.CUSTOMIZABLE_SETTING_NAMES == list(GZL.ZYLConfig._CUSTOMIZABLE)
    assert zylsetup.HR == "  " + "\u2500" * 70 and len(zylsetup.HR) == 72
    assert zylsetup.RUNTIME_ONLY_CONFIG_KEYS == {"config_file"}


def test_broken_customizable_map_fails_import_with_its_own_error():
    result = run_isolated(
        """
        from zylora import globals_zylora as GZL
        GZL.ZYLConfig._CUSTOMIZABLE = 5
        try:
            from zylora import zylsetup
        except AttributeError as e:
            print("AttributeError", "keys" in str(e))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "AttributeError True"


def test_customizable_names_taken_once(monkeypatch):
    before = list(zylsetup.CUSTOMIZABLE_SETTING_NAMES)
    monkeypatch.setitem(GZL.ZYLConfig._CUSTOMIZABLE, "late_setting", int)
    assert zylsetup.CUSTOMIZABLE_SETTING_NAMES == before


@pytest.mark.parametrize(
    "text, matches",
    [
        pytest.param("\x1b[0m", ["\x1b[0m"], id="reset"),
        pytest.param("\x1b[1;31m", ["\x1b[1;31m"], id="bold-red"),
        pytest.param("\x1b[38;2;0;165;165m", ["\x1b[38;2;0;165;165m"], id="truecolor"),
        pytest.param("\x1b[2J\x1b[H", [], id="cursor-sequences"),
        pytest.param("a\x1b[2mb\x1b[0mc", ["\x1b[2m", "\x1b[0m"], id="embedded"),
    ],
)
def test_ansi_escape_re_matches_sgr_only(text, matches):
    assert zylsetup.ANSI_ESCAPE_RE.findall(text) == matches


def test_reimported_module_draws_through_its_own_namespace():
    result = run_isolated(
        """
        import gc, importlib, sys
        import zylora.zylsetup
        del sys.modules["zylora.zylsetup"]
        import zylora.zylsetup as again
        gc.collect()
        junk = [dict(a=i) for i in range(10000)]
        again.COLOR_ACCENT = "010203"
        text = "".join(again.render_help_overlay())
        print("38;2;1;2;3m" in text)
        reloaded = importlib.reload(again)
        reloaded.COLOR_ACCENT = "040506"
        text = "".join(reloaded.render_help_overlay())
        print("38;2;4;5;6m" in text)
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["True", "True"]
