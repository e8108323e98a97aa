"""TEMPORARY stand-ins for the row widgets built on another branch.

The overlay tests install one of these only while the module lacks the real
function (`install_missing`); delete this file as soon as `mode_verb` and
`render_tab_bar` have landed.  Each follows the documented behaviour.
"""

from zylora import zylsetup


def mode_verb(mode):
    return zylsetup.MODE_VERB.get(mode, str(mode)) if isinstance(mode, str) else str(mode)


def render_tab_bar(active_screen):
    targets, run = "Targets", "Run settings"
    if active_screen == "targets":
        targets = zylsetup.color_text(targets, zylsetup.COLOR_ACCENT)
    else:
        run = zylsetup.color_text(run, zylsetup.COLOR_ACCENT)
    return ("[ " + targets + " │ " + run + " ]" + " " * 12
            + zylsetup.dim("[Tab] switch panel    ? help"))


def install_missing(monkeypatch, module):
    for name, fn in (("mode_verb", mode_verb), ("render_tab_bar", render_tab_bar)):
        if not hasattr(module, name):
            monkeypatch.setattr(module, name, fn, raising=False)
