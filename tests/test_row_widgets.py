import pytest

from zylora import zylsetup

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
