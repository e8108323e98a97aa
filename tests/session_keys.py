"""Runs set_zylation_targets in-process on a scripted list of keys.

The key reader, the alternate screen and the terminal gate are rebound in the
module's namespace; every frame the loop prints before reading a key is kept,
with its styling removed, so a test can look at the screen after any key.
"""

import copy

from zylora import globals_zylora as GZL
from zylora import zylsetup

from keys import BACKSPACE, DELETE, DOWN, ENTER, ESC, LEFT, PAGE_DOWN, PAGE_UP, RIGHT, TAB, UP  # noqa: F401


class Session:
    def __init__(self, monkeypatch, capsys, tmp_path, model):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setenv("COLUMNS", "160")
        monkeypatch.setenv("LINES", "200")
        monkeypatch.setattr(zylsetup, "require_interactive_session", lambda: None)
        monkeypatch.setattr(zylsetup, "enter_alternate_screen", lambda: None)
        monkeypatch.setattr(zylsetup, "exit_alternate_screen", lambda: None)
        monkeypatch.setattr(zylsetup, "read_single_key", self._read_key)
        monkeypatch.setattr(zylsetup, "persist_module_settings_updates", self._persist_overrides)
        self.capsys = capsys
        self.model = model
        self.frames = []
        self.saved_overrides = None
        self._keys = iter(())

    def _read_key(self):
        self.frames.append(zylsetup.strip_ansi(self.capsys.readouterr().out))
        try:
            return next(self._keys)
        except StopIteration:
            raise AssertionError("the configurator asked for more keys than the test gave") from None

    def _persist_overrides(self, module_settings_overrides, overwrite_config_file=False):
        self.saved_overrides = copy.deepcopy(module_settings_overrides)

    def _script(self, keys, finish):
        yield from keys
        if finish == "quit":
            yield from ("q", "y")
        else:
            yield "s"
            entries = zylsetup.get_module_entries(self.model)
            unset = zylsetup.unset_module_entries(entries, zylsetup.resolve_entry_modes(entries))
            # Without unset modules the first option saves for this run only;
            # with some, the second one ("Start anyway") does.
            yield from ((DOWN, ENTER) if unset else (ENTER,))

    def run(self, keys, finish="quit"):
        """Feed `keys`, then quit (the default) or save for this run."""
        self._keys = self._script(list(keys), finish)
        self.frames = []
        if finish == "quit":
            try:
                zylsetup.set_zylation_targets(self.model)
            except SystemExit as exc:
                assert exc.code == 0
            else:
                raise AssertionError("quitting did not exit")
        else:
            assert zylsetup.set_zylation_targets(self.model) is None
        self.capsys.readouterr()
        return self

    def screen(self, after):
        """The frame drawn once the first `after` keys were handled."""
        return self.frames[after]

    @staticmethod
    def highlighted(frame):
        rows = [line for line in frame.split("\n") if line.startswith("> ")]
        assert len(rows) == 1, rows
        return rows[0]

    @staticmethod
    def last_line(frame):
        return frame.rstrip("\n").split("\n")[-1]


def pc_lists():
    pc = GZL.pc
    return {
        "ids_zylate": list(pc.get_module_ids_to_zylate()),
        "ids_track": list(pc.get_module_ids_to_track()),
        "names_zylate": list(pc.get_module_names_to_zylate()),
        "names_track": list(pc.get_module_names_to_track()),
    }
