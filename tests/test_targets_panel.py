import pytest
from torch import nn

from zylora import zylsetup
from zylora.example_network import GatedResidualBlock

from conftest import OwnText, strip
from reference_renditions import reference_rows

Z = zylsetup.COLOR_ZYLATE
T = zylsetup.COLOR_TRACK
ATT = zylsetup.COLOR_ATTENTION
ACC = zylsetup.COLOR_ACCENT
C = zylsetup.color_text
D = zylsetup.dim
BLOCK = "\u2588\u2588"
SELECTED = C("> ", "E8EEEC")


class Small(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 2)  # 6 own parameters
        self.act = nn.ReLU()
        self.enc = nn.Sequential(nn.Linear(2, 3), nn.ReLU())  # .enc.0 holds 9
        self.blk = GatedResidualBlock(2)  # restructured before training


def rec(eff=None, source=None, origin=None, overridden=None):
    return {"eff": eff, "source": source, "origin_id": origin, "overridden": overridden}


@pytest.fixture
def small():
    entries = zylsetup.get_module_entries(Small())
    resolved = {e["id"]: rec(origin=e["id"]) for e in entries}
    resolved[".fc"] = rec("zylated", "id", ".fc")
    resolved[".enc"] = rec("zylated", "id", ".enc")
    resolved[".enc.0"] = rec("zylated", "inherited", ".enc", {"mode": "tracked", "source": "id"})
    resolved[".enc.1"] = rec("zylated", "inherited", ".enc")
    return entries, resolved


def visible(entries, expanded=()):
    return [e for e in entries if not e["in_replaced"] or e["replaced_root"] in expanded]


def render(entries, resolved, selected=0, expanded=None, shown=None):
    expanded = expanded or {}
    shown = visible(entries, [k for k, v in expanded.items() if v]) if shown is None else shown
    return zylsetup.render_targets_lines(entries, shown, selected, resolved, expanded)


def test_whole_panel(small):
    entries, resolved = small
    resolved[".blk.gate"] = rec("zylated", "type", ".blk.gate")
    lines, body, footer, focus = render(entries, resolved, selected=1, expanded={".blk": True})

    assert lines == [
        zylsetup.render_tab_bar("targets"),
        "",
        D("  zylate = add dendrites   \u00b7   track = not zylated   "),
        "",
        C("  \u2713 every parameter is zylated or tracked", Z) + " " * 17 + C("[y] type rules (0)", ACC),
        zylsetup.HR,
    ]
    assert body == [
        "  * " + C(BLOCK, Z) + " " + " .fc  " + D("[Linear]") + " " * 25 + C("mode=zylate", Z) + D("   params=6"),
        SELECTED + "     " + " .act  " + D("[ReLU]") + " " * 26,
        "  * " + C(BLOCK, Z) + " " + " .enc  " + D("[Sequential]") + " " * 20 + C("mode=zylate", Z),
        "  \u21b3 " + C(BLOCK, Z) + " " + "   .enc.0  " + D("[Linear]") + " " * 20 + C("mode=zylate", Z)
        + D("  (via .enc)") + D("  \u2014 your track here is ignored") + D("   params=9"),
        "  \u21b3 " + C(BLOCK, Z) + " " + "   .enc.1  " + D("[ReLU]") + " " * 22 + C("mode=zylate", Z)
        + D("  (via .enc)"),
        "  " + C("\u21af", ACC) + "   .blk  " + D("[GatedResidualBlock]") + "   "
        + D("will be restructured for ZYL before training"),
        "      " + D("\u2514 5 modules below \u2014 ids won't exist at train time \u00b7 target by type (P/T), not id  ")
        + C("[\u2190 collapse]", ACC),
        "  " + "     " + "   " + D(".blk.gate  [Linear] (id stale)"),
        "  " + "     " + "   " + D(".blk.value  [Sequential] (id stale)"),
        "  " + "     " + "     " + D(".blk.value.0  [Linear] (id stale)"),
        "  " + "     " + "     " + D(".blk.value.1  [GELU] (id stale)"),
        "  " + "     " + "   " + D(".blk.norm  [LayerNorm] (id stale)"),
    ]
    assert footer == [
        zylsetup.HR,
        D(zylsetup.build_budget_line(entries, resolved)),
        "",
        D("p/t zylate\u00b7track this module   P/T whole type   x clear   h legend   \u2191\u2193/jk move   s start"),
    ]
    assert focus == (1, 2)
    # every tail starts at column 46 on these short rows
    for line in strip(body[:5]):
        assert len(line) == 46 or line[46] == "m"


@pytest.mark.parametrize("unset,status", [
    ([".fc"], "  \u26a0 1 module still needs a mode"),
    ([".fc", ".enc.0"], "  \u26a0 2 modules still need a mode"),
])
def test_status_counts_modules_that_still_need_a_mode(small, fresh_pc, unset, status):
    entries, resolved = small
    for module_id in unset:
        resolved[module_id] = rec(origin=module_id)
    fresh_pc.set_module_names_to_zylate(["Linear", "ReLU"])
    fresh_pc.set_module_names_to_track(["GELU"])
    lines = render(entries, resolved)[0]
    assert lines[4] == C(status, ATT) + " " * (58 - len(status)) + C("[y] type rules (3)", ACC)
    assert strip(lines)[4].index("[y]") == 58


def test_row_without_mode_with_parameters_asks_for_one(small):
    entries, resolved = small
    resolved[".fc"] = rec(origin=".fc")
    body = render(entries, resolved)[1]
    assert body[0] == (SELECTED + C("!", ATT) + " " + C(BLOCK, ATT) + " " + " .fc  " + D("[Linear]") + " " * 25
                       + C("needs a mode", ATT) + D("   params=6"))


@pytest.mark.parametrize("eff,source,marker,note", [
    ("tracked", "type", "  ", ""),
    ("tracked", "id", "* ", ""),
    ("tracked", "inherited", "\u21b3 ", D("  (via .enc)")),
])
def test_mode_tail_by_source(small, eff, source, marker, note):
    entries, resolved = small
    # an override note only follows an inherited mode
    resolved[".enc.0"] = rec(eff, source, ".enc", {"mode": "zylated", "source": "id"})
    tail = C("mode=track", T) + note + (D("  \u2014 your zylate here is ignored") if note else "")
    assert render(entries, resolved)[1][3] == (
        "  " + marker + C(BLOCK, T) + " " + "   .enc.0  " + D("[Linear]") + " " * 20 + tail + D("   params=9"))


class LongNames(nn.Module):
    def __init__(self):
        super().__init__()
        for length in (24, 25, 26, 40):
            self.add_module("n" * length, nn.Linear(1, 1))


@pytest.mark.parametrize("length,gap", [(24, 3), (25, 2), (26, 2), (40, 2)])
def test_gap_reaches_column_46_but_is_never_below_two(length, gap):
    entries = zylsetup.get_module_entries(LongNames())
    resolved = {e["id"]: rec("tracked", "type", e["id"]) for e in entries}
    rows = strip(render(entries, resolved, selected=-1)[1])
    row = next(r for r in rows if ("." + "n" * length + " ") in r)
    assert row.endswith("[Linear]" + " " * gap + "mode=track   params=2")


@pytest.mark.parametrize("count", [0, 5, 999, 1000, 1049, 1150, 1250, 12345, 999949, 999950, 1000000,
                                   2500000, 999950000, 2500000000, 2500000000000, 2 ** 70])
def test_params_use_the_human_count(small, count):
    entries, resolved = small
    shown = [dict(entries[0], direct_param_count=count)]
    row = render(entries, resolved, shown=shown)[1][0]
    params = D("   params=" + zylsetup.format_human_count(count)) if count > 0 else ""
    assert row.endswith(C("mode=zylate", Z) + params)


def test_marker_is_the_row_widget_marker(small):
    entries, resolved = small
    for module_id, record in [(".act", rec("tracked", "type")), (".blk.norm", rec("zylated", "id"))]:
        resolved[module_id] = record
    shown = [e for e in entries if not e["is_replaced_root"]]
    body = render(entries, resolved, selected=None, shown=shown)[1]
    for ent, line in zip(shown, body):
        marker = zylsetup.make_target_marker(ent, resolved[ent["id"]])[0]
        assert line.startswith("  " + marker + " " + "  " * ent["depth"])


@pytest.mark.parametrize("selected,focus,cursor_lines", [
    (5, (5, 7), [5]),  # the restructured root takes two lines
    (4, (4, 5), [4]),
    (0, (0, 1), [0]),
    (6, (0, 1), []),  # past the visible rows: nothing highlighted
    (-1, (0, 1), []),
])
def test_focus_spans_the_highlighted_entry(small, selected, focus, cursor_lines):
    entries, resolved = small
    body, _, focus_got = render(entries, resolved, selected=selected)[1:]
    assert focus_got == focus
    assert [i for i, line in enumerate(body) if line.startswith(SELECTED)] == cursor_lines


def test_collapsed_root_counts_hidden_children(small):
    entries, resolved = small
    body = strip(render(entries, resolved, expanded={".blk": 0})[1])
    assert body[5:] == [
        "  \u21af   .blk  [GatedResidualBlock]   will be restructured for ZYL before training",
        "      \u2514 5 modules below \u2014 ids won't exist at train time \u00b7 target by type (P/T), not id  "
        "[\u2192 expand]",
    ]


def test_missing_record_is_a_key_error(small):
    entries, resolved = small
    del resolved[".act"]
    with pytest.raises(KeyError, match="'.act'"):
        zylsetup.render_targets_lines(entries, entries[1:2], 0, resolved, {})


def test_arguments_are_not_modified(small):
    entries, resolved = small
    before = (repr(entries), repr(resolved))
    expanded = {".blk": True}
    render(entries, resolved, expanded=expanded)
    assert (repr(entries), repr(resolved), expanded) == (*before, {".blk": True})


# --- Rows are made of the module-level pieces, looked up by name -----------

REBOUND = [
    ("color_text", lambda text, hex_color: f"<{hex_color}|{text}>", "<E8EEEC|> >"),
    ("_ansi", lambda text, code: f"<{code}:{text}>", "<90:[Linear]>"),
    ("dim", lambda text: f"<dim:{text}>", "<dim:[Linear]>"),
    ("make_target_marker", lambda entry, record: ("M", "M"), "M .fc  "),
    ("make_block", lambda mode: f"[{mode}]", "* [zylated]  .fc"),
    ("get_color_hex_for_mode", lambda mode: "123456", "\x1b[38;2;18;52;86mmode=zylate"),
    ("mode_verb", lambda mode: f"verb({mode})", "mode=verb(zylated)"),
    ("format_human_count", lambda value: f"#{value}#", "params=#6#"),
]


@pytest.mark.parametrize("name,fake,piece", REBOUND, ids=[r[0] for r in REBOUND])
def test_rebound_pieces_shape_the_rows(small, monkeypatch, name, fake, piece):
    entries, resolved = small
    resolved[".act"] = rec(origin=".act")
    resolved[".blk.gate"] = rec("tracked", "type", ".blk.gate")
    expanded = {".blk": True}
    shown = visible(entries, [".blk"])
    native = render(entries, resolved, selected=0, expanded=expanded)[1]
    assert native == reference_rows(entries, shown, 0, resolved, expanded)

    monkeypatch.setattr(zylsetup, name, fake)
    body = render(entries, resolved, selected=0, expanded=expanded)[1]
    assert body != native
    assert piece in body[0]
    assert body == reference_rows(entries, shown, 0, resolved, expanded)

    monkeypatch.undo()  # the module's own pieces are back: so are the native rows
    assert render(entries, resolved, selected=0, expanded=expanded)[1] == native


def test_a_removed_piece_fails_only_where_a_row_needs_it(small, monkeypatch):
    entries, resolved = small
    monkeypatch.delattr(zylsetup, "mode_verb")
    shown = [e for e in entries if resolved[e["id"]]["eff"] is None]
    assert render(entries, resolved, shown=shown)[1] == reference_rows(entries, shown, 0, resolved, {})
    with pytest.raises(AttributeError, match="mode_verb"):
        render(entries, resolved, shown=entries[:1])


WIDE_TEXTS = {
    "latin-1": ("caf\u00e9", "Lin\u00e9ar"),
    "bmp": ("\u03a9\u2588", "\u21afBlock"),
    "astral": ("\U0001f600x", "T\U0001f680"),
    "lone-surrogate": ("a\udcff", "b\ud800"),
}


@pytest.mark.parametrize("name,type_name", WIDE_TEXTS.values(), ids=WIDE_TEXTS.keys())
def test_native_rows_keep_every_code_point(name, type_name):
    def entry(suffix, depth, count, **flags):
        return {"id": "." + name + suffix, "name": name + suffix, "type_name": type_name, "module": nn.Identity(),
                "depth": depth, "direct_param_count": count, "tree_param_count": count,
                "is_replaced_root": False, "replaced_root": None, "in_replaced": False, **flags}

    root = entry("", 0, 0, is_replaced_root=True)
    entries = [root, entry(".a", 1, 1234, in_replaced=True, replaced_root=root["id"]),
               entry("2", 0, 7), entry("2.b", 1, 0)]
    resolved = {e["id"]: rec(origin=e["id"]) for e in entries}
    resolved[entries[2]["id"]] = rec("tracked", "id", entries[2]["id"])
    resolved[entries[3]["id"]] = rec("tracked", "inherited", entries[2]["id"], {"mode": "zylated", "source": "type"})
    expanded = {root["id"]: True}
    body = render(entries, resolved, selected=2, expanded=expanded, shown=entries)[1]
    assert body == reference_rows(entries, entries, 2, resolved, expanded)
    assert any(zylsetup.shown_text(name) in line for line in body)


# --- Values no network has: every route answers as the plain route --------

class OwnProduct(int):
    def __rmul__(self, other):  # "  " * depth is its own
        return "<" + other + ">"


ODD_DEPTHS = {"minus-one": -1, "true": True, "float": 1.0, "text": "2", "none": None, "beyond-int64": 2 ** 64,
              "int-subclass": type("Sub", (int,), {})(2), "own-product": OwnProduct(1), "no-memory-holds-it": 2 ** 61}
CRASHING_DEPTHS = [2 ** 63 - 1, 2 ** 63 - 2, 2 ** 62]  # their indents were once written past the row's buffer
ROW_KINDS = [{}, {"in_replaced": True, "replaced_root": ".r"}, {"is_replaced_root": True}]


def outcome(draw):
    try:
        return ["rows", draw()]
    except Exception as error:
        return [type(error).__name__, str(error)]


def depth_outcomes(depth, kind):
    """One entry drawn on this run's route, piece by piece by name (a rebound
    piece that changes nothing sends the rows there), and by the reference."""
    ent = {"id": ".a", "type_name": "Linear", "module": nn.Identity(), "depth": depth, "direct_param_count": 3,
           "is_replaced_root": False, "replaced_root": None, "in_replaced": False, **kind}
    resolved = {".a": rec(origin=".a")}
    own = outcome(lambda: render([ent], resolved, shown=[ent])[1])
    dim = zylsetup.dim
    zylsetup.dim = lambda text: dim(text)
    try:
        by_name = outcome(lambda: render([ent], resolved, shown=[ent])[1])
    finally:
        zylsetup.dim = dim
    return own, by_name, outcome(lambda: reference_rows([ent], [ent], 0, resolved, {}))


@pytest.mark.parametrize("kind", ROW_KINDS, ids=["ordinary", "inside-restructured", "restructured-root"])
@pytest.mark.parametrize("depth", ODD_DEPTHS.values(), ids=ODD_DEPTHS.keys())
def test_any_depth_draws_or_fails_as_the_plain_route(depth, kind):
    own, by_name, reference = depth_outcomes(depth, kind)
    assert own == by_name == reference


def test_depths_past_any_buffer_fail_as_the_plain_route():
    """In a child, as these once crashed the interpreter."""
    import json
    import pathlib
    import subprocess
    import sys

    child = ("import json, test_targets_panel as t\n"
             "print(json.dumps([t.depth_outcomes(d, k) for d in t.CRASHING_DEPTHS for k in t.ROW_KINDS]))")
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300,
                          cwd=pathlib.Path(__file__).parent)
    assert done.returncode == 0, done.stderr[-2000:]
    assert json.loads(done.stdout) == [[["OverflowError", "repeated string is too long"]] * 3] * 9


def test_values_enter_rows_in_their_ordinary_text_form(small, monkeypatch):
    entries, resolved = small
    shown = [dict(entries[0], id=OwnText(".fc"), type_name=OwnText("Linear")),
             dict(entries[6], id=OwnText(".blk.gate")), dict(entries[5], type_name=OwnText("Block"))]
    resolved[".fc"] = rec(OwnText("zylated"), "inherited", OwnText(".net"), {"mode": OwnText("odd")})
    rows = render(entries, resolved, shown=shown)[1]
    assert rows == reference_rows(entries, shown, 0, resolved, {})
    assert strip(rows)[0].endswith(" <.fc>  [<Linear>]" + " " * 21 + "mode=zylate  (via <.net>)  "
                                   "\u2014 your <odd> here is ignored   params=6")
    assert "<.blk.gate>  [Linear] (id stale)" in strip(rows)[1] and ".blk  [<Block>]" in strip(rows)[2]
    dim = zylsetup.dim
    monkeypatch.setattr(zylsetup, "dim", lambda text: dim(text))  # the rows go piece by piece by name
    assert render(entries, resolved, shown=shown)[1] == rows


def test_selected_index_is_compared_as_python_compares_it(small):
    entries, resolved = small
    equals_two = type("EqualsTwo", (int,), {"__eq__": lambda self, other: other == 2, "__hash__": int.__hash__})
    assert render(entries, resolved, selected=equals_two(0))[3] == (2, 3)
