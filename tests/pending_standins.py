"""TEMPORARY stand-ins for module-level functions built on other branches.

The overlay tests install one of these only while the module lacks the real
function (`install_missing`); delete each one as soon as the real function
has landed.  Each follows the documented behaviour of the real function.
"""

import re

from zylora import globals_zylora as GZL


def strip_ansi(text):
    return re.sub(r"\x1b\[[0-9;]*m", "", text)


def color_text(text, hex_color):
    r, g, b = (int(hex_color[k:k + 2], 16) for k in (0, 2, 4))
    return f"\x1b[38;2;{r};{g};{b}m{text}\x1b[0m"


def dim(text):
    return f"\x1b[90m{text}\x1b[0m"


def get_color_hex_for_mode(mode):
    return {"zylated": "00A5A5", "tracked": "8A95A0"}.get(mode, "000000") if isinstance(mode, str) else "000000"


def mode_verb(mode):
    return {"zylated": "zylate", "tracked": "track"}.get(mode, str(mode)) if isinstance(mode, str) else str(mode)


def render_tab_bar(active_screen):
    targets, run = "Targets", "Run settings"
    if active_screen == "targets":
        targets = color_text(targets, "D9A441")
    else:
        run = color_text(run, "D9A441")
    return "[ " + targets + " │ " + run + " ]" + " " * 12 + dim("[Tab] switch panel    ? help")


def type_rule_entries(entries):
    counts = {}
    for e in entries:
        if not e["in_replaced"]:
            counts[e["type_name"]] = counts.get(e["type_name"], 0) + 1
    rules = [(t, "zylated", counts.get(t, 0)) for t in sorted(GZL.pc.get_module_names_to_zylate())]
    rules += [(t, "tracked", counts.get(t, 0)) for t in sorted(GZL.pc.get_module_names_to_track())]
    return rules


def unset_module_entries(entries, resolved):
    return [
        e for e in entries
        if not e["in_replaced"] and not e["is_replaced_root"] and e["direct_param_count"] > 0
        and resolved[e["id"]]["eff"] is None
    ]


def install_missing(monkeypatch, module):
    for name, fn in list(globals().items()):
        if callable(fn) and not name.startswith("_") and name not in ("install_missing", "re", "GZL"):
            if not hasattr(module, name):
                monkeypatch.setattr(module, name, fn, raising=False)
