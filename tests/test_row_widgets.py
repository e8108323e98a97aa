import pytest

from zylora import zylsetup

from conftest import OwnText

Z = zylsetup.COLOR_ZYLATE
T = zylsetup.COLOR_TRACK
ATT = zylsetup.COLOR_ATTENTION
ACC = zylsetup.COLOR_ACCENT
C = zylsetup.color_text
D = zylsetup.dim
BLOCK = "\u2588\u2588"


@pytest.mark.parametrize("active,coloured", [
    ("targets", "Targets"),
    ("run", "Run settings"),
    ("anything", "Run settings"),
    (None, "Run settings"),
])
def test_tab_bar_colours_only_the_active_label(active, coloured):
    labels = {"Targets": "Targets", "Run settings": "Run settings"}
    labels[coloured] = C(coloured, ACC)
    expected = ("[ " + labels["Targets"] + " \u2502 " + labels["Run settings"] + " ]" + " " * 12
                + D("[Tab] switch panel    ? help"))
    assert zylsetup.render_tab_bar(active) == expected
    assert zylsetup.strip_ansi(expected) == (
        "[ Targets \u2502 Run settings ]            [Tab] switch panel    ? help")


@pytest.mark.parametrize("mode,verb", [
    ("zylated", "zylate"), ("tracked", "track"), (None, "None"), ("other", "other"), (3, "3"),
])
def test_mode_verb(mode, verb):
    assert zylsetup.mode_verb(mode=mode) == verb


@pytest.mark.parametrize("mode,colour", [("zylated", Z), ("tracked", T), (None, "000000"), ("x", "000000")])
def test_make_block(mode, colour):
    assert zylsetup.make_block(mode) == C(BLOCK, colour)


def entry(in_replaced=False, params=0):
    return {"in_replaced": in_replaced, "direct_param_count": params}


def record(eff, source):
    return {"eff": eff, "source": source}


MARKERS = [
    ("inside restructured module, even with a mode",
     entry(in_replaced=True, params=5), record("zylated", "id"), "     ", "     "),
    ("no mode, own parameters", entry(params=5), record(None, None),
     C("!", ATT) + " " + C(BLOCK, ATT) + " ", "! \u2588\u2588 "),
    ("no mode, no parameters", entry(), record(None, None), "     ", "     "),
    ("inherited", entry(), record("tracked", "inherited"), "\u21b3 " + C(BLOCK, T) + " ", "\u21b3 \u2588\u2588 "),
    ("by id", entry(params=1), record("zylated", "id"), "* " + C(BLOCK, Z) + " ", "* \u2588\u2588 "),
    ("by type", entry(), record("zylated", "type"), "  " + C(BLOCK, Z) + " ", "  \u2588\u2588 "),
]


@pytest.mark.parametrize("ent,rec,display,plain", [m[1:] for m in MARKERS], ids=[m[0] for m in MARKERS])
def test_target_marker(ent, rec, display, plain):
    assert zylsetup.make_target_marker(ent, rec) == (display, plain)
    assert len(plain) == 5
    assert zylsetup.strip_ansi(display) == plain


def test_target_marker_reads_only_what_it_needs():
    # eff is not read for entries inside a restructured module, source only with a mode
    assert zylsetup.make_target_marker({"in_replaced": True}, {}) == ("     ", "     ")
    assert zylsetup.make_target_marker({"in_replaced": False, "direct_param_count": 0}, {"eff": None})[1] == "     "
    with pytest.raises(KeyError, match="source"):
        zylsetup.make_target_marker({"in_replaced": False}, {"eff": "zylated"})


WIDGET_CALLS = [
    ("tab bar: color_text", "color_text", lambda text, hex_color: f"<{text}>",
     lambda: zylsetup.render_tab_bar("run"), "[ Targets \u2502 <Run settings> ]"),
    ("tab bar: dim", "dim", lambda text: f"<{text}>",
     lambda: zylsetup.render_tab_bar("targets"), " ]            <[Tab] switch panel    ? help>"),
    ("marker: make_block", "make_block", lambda mode: f"<{mode}>",
     lambda: zylsetup.make_target_marker(entry(), record("tracked", "id")), ("* <tracked> ", "* \u2588\u2588 ")),
    ("marker: color_text", "color_text", lambda text, hex_color: f"<{hex_color}>",
     lambda: zylsetup.make_target_marker(entry(params=3), record(None, None)), (f"<{ATT}> <{ATT}> ", "! \u2588\u2588 ")),
    ("block: get_color_hex_for_mode", "get_color_hex_for_mode", lambda mode: "010203",
     lambda: zylsetup.make_block("zylated"), "\x1b[38;2;1;2;3m" + BLOCK + "\x1b[0m"),
    ("block: color_text", "color_text", lambda text, hex_color: f"{text}/{hex_color}",
     lambda: zylsetup.make_block("tracked"), f"{BLOCK}/{T}"),
]


@pytest.mark.parametrize("name,fake,call,expected", [w[1:] for w in WIDGET_CALLS], ids=[w[0] for w in WIDGET_CALLS])
def test_widgets_call_rebound_functions(monkeypatch, name, fake, call, expected):
    before = call()
    monkeypatch.setattr(zylsetup, name, fake)
    got = call()
    if isinstance(expected, tuple):
        assert got == expected
    else:
        assert expected in got
    monkeypatch.undo()
    assert call() == before


def test_widgets_give_ordinary_text_forms(monkeypatch):
    assert zylsetup.mode_verb(OwnText("odd")) == "<odd>"
    assert zylsetup.mode_verb(OwnText("zylated")) == "zylate"
    monkeypatch.setattr(zylsetup, "make_block", lambda mode: OwnText("B"))
    assert zylsetup.make_target_marker(entry(), record("tracked", "id")) == ("* <B> ", "* \u2588\u2588 ")
    monkeypatch.setattr(zylsetup, "color_text", lambda text, hex_color: OwnText(text))
    assert zylsetup.make_target_marker(entry(params=3), record(None, None))[0] == "<!> <\u2588\u2588> "
    assert zylsetup.render_tab_bar("run").startswith("[ Targets \u2502 <Run settings> ]")
