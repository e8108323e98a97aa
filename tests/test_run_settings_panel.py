import pytest

from conftest import OwnText, strip
from zylora import globals_zylora as GZL
from zylora import zylsetup


HR = "  " + "─" * 70
KEY_HINTS = ("→ expand · ← collapse   Enter edit   h describe   ↑↓/jk move"
             "   Tab switch panel   s start")


def fg(hex_color, text):
    r, g, b = (int(hex_color[k:k + 2], 16) for k in (0, 2, 4))
    return f"\x1b[38;2;{r};{g};{b}m{text}\x1b[0m"


def grey(text):
    return f"\x1b[90m{text}\x1b[0m"


CURSOR = fg("E8EEEC", "> ")


def bucket(name, expanded, count):
    return {"type": "bucket", "bucket": name, "is_expanded": expanded, "count": count}


def setting(name, value, bucket_name="Dendrites"):
    return {"type": "setting", "bucket": bucket_name, "name": name, "value": value}


def divider(bucket_name="Dendrites"):
    return {"type": "divider", "bucket": bucket_name}


def render(items, selected_index=0, describe_name=""):
    return zylsetup.render_run_settings_lines(items, selected_index, describe_name)


# --- frame ---------------------------------------------------------------------

def test_empty_panel_keeps_header_footer_and_focus():
    header, body, footer, focus = render([], 0, "")
    assert strip(header) == [
        strip([zylsetup.render_tab_bar("run")])[0],
        "",
        "  Run settings — run-wide configuration",
        HR,
    ]
    assert header[0] == zylsetup.render_tab_bar("run")
    assert header[2] == grey("  Run settings — run-wide configuration")
    assert body == []
    assert footer == [HR, grey(KEY_HINTS)]
    assert focus == (0, 1)


def test_arguments_by_keyword_and_focus_follows_the_index():
    items = [bucket("Dendrites", True, 2), setting("dendrite_count", 3), setting("max_dendrites", 5)]
    *_, focus = zylsetup.render_run_settings_lines(items=items, selected_index=2, describe_name="")
    assert focus == (2, 3)


# --- body rows -------------------------------------------------------------------

@pytest.mark.parametrize("expanded, glyph", [(False, "▸"), (True, "▾")], ids=["collapsed", "expanded"])
@pytest.mark.parametrize("selected", [False, True], ids=["plain", "selected"])
def test_bucket_row(expanded, glyph, selected):
    _, body, _, _ = render([bucket("Training loop", expanded, 7)], 0 if selected else 5)
    cursor = CURSOR if selected else "  "
    assert body == [cursor + fg("D9A441", glyph) + " Training loop " + grey("(7)")]


@pytest.mark.parametrize(
    "item, visible",
    [
        (setting("dendrite_count", 3), "    dendrite_count = 3"),
        (setting("candidate_weight_init_scale", 0.01), "    candidate_weight_init_scale = 0.01"),
        (setting("device", "cpu"), "    device = cpu"),
        (setting("input_dimensions", [-1, 0, -1]), "    input_dimensions = [-1, 0, -1]"),
        (setting("device", "<unavailable>"), "    device = <unavailable>"),
        (setting("learn_dendrites_live", False), "    learn_dendrites_live = False  (Enter toggles)"),
        (setting("switch_mode", GZL.DOING_HISTORY), "    switch_mode = DOING_HISTORY  (Enter cycles)"),
        # enum options win over a boolean value
        (setting("zyl_forward_function", True), "    zyl_forward_function = True  (Enter cycles)"),
    ],
    ids=["int", "float", "text", "list", "unavailable", "bool", "enum", "enum-with-bool"],
)
def test_setting_row_value_and_hint(item, visible):
    _, body, _, _ = render([item], 3)
    assert strip(body) == [visible]
    if visible.endswith(")"):
        hint = visible[visible.rindex("  ("):]
        assert body[0].endswith(grey(hint))
    else:
        assert "\x1b" not in body[0]


def test_empty_option_list_still_cycles(monkeypatch):
    monkeypatch.setattr(zylsetup, "get_enum_options", lambda setting_name: [])
    _, body, _, _ = render([setting("dendrite_count", 3)], 0)
    assert body == [CURSOR + "  dendrite_count = 3" + grey("  (Enter cycles)")]


def test_value_text_comes_from_the_run_setting_formatter(monkeypatch):
    seen = []

    def formatter(setting_name, value):
        seen.append((setting_name, value))
        return "shown"

    monkeypatch.setattr(zylsetup, "format_run_setting_value", formatter)
    _, body, _, _ = render([setting("anything", 42)], 1)
    assert strip(body) == ["    anything = shown"]
    assert seen == [("anything", 42)]


def test_divider_never_shows_the_cursor():
    items = [bucket("Dendrites", True, 2), setting("dendrite_count", 1), divider(),
             setting("max_dendrites", 5)]
    _, body, _, focus = render(items, 2)
    assert body[2] == "     " + grey("─ rarely changed ─")
    assert not any(line.startswith(CURSOR) for line in body)
    assert focus == (2, 3)


def test_one_line_per_item_in_order():
    items = [bucket("Dendrites", True, 3), setting("dendrite_count", 1), divider(),
             setting("max_dendrites", 5), bucket("Output", False, 4), {"type": "other", "name": "x",
                                                                        "value": 1}]
    _, body, _, _ = render(items, 1)
    assert strip(body) == [
        "  ▾ Dendrites (3)",
        ">   dendrite_count = 1",
        "     ─ rarely changed ─",
        "    max_dendrites = 5",
        "  ▸ Output (4)",
        "    x = 1",  # an unknown type is drawn as a setting
    ]
    assert body[1].startswith(CURSOR)


def test_missing_key_propagates():
    with pytest.raises(KeyError):
        render([{"type": "bucket", "bucket": "Dendrites", "count": 1}], 0)


# --- footer ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "describe_name, description",
    [
        ("dendrite_count", "How many dendrites each module grows."),
        ("max_dendrites", "No description available for max_dendrites."),
    ],
    ids=["described", "described-without-description"],
)
def test_description_replaces_the_key_hints(describe_name, description):
    zylsetup.DESCRIPTION_CACHE = {
        "buckets": {"Dendrites": ""}, "bucket_order": ["Dendrites"],
        "settings": {"dendrite_count": "How many dendrites each module grows."},
        "setting_labels": {}, "setting_to_bucket": {}, "settings_by_bucket": {},
    }
    _, _, footer, _ = render([setting("dendrite_count", 1)], 0, describe_name)
    assert footer == [HR, grey(describe_name + " — " + description)]


def test_outside_values_show_their_ordinary_text_form():
    items = [bucket(OwnText("Core"), True, OwnText("1")), setting(OwnText("width"), OwnText("wide"))]
    _, body, footer, _ = render(items, selected_index=1, describe_name=OwnText("width"))
    assert strip(body) == ["  \u25be <Core> (<1>)", ">   <width> = <wide>"]
    assert strip(footer)[1].startswith("<width> \u2014 ")
