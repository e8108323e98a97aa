import json

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup


@pytest.fixture
def describe(tmp_path, monkeypatch):
    monkeypatch.setattr(zylsetup, "__file__", str(tmp_path / "zylsetup.so"))
    zylsetup.DESCRIPTION_CACHE = None

    def write(buckets):
        (tmp_path / zylsetup.DESCRIPTION_FILE_NAME).write_text(json.dumps({"buckets": buckets}))
        zylsetup.DESCRIPTION_CACHE = None

    return write


def imp(text="i"):
    return {"description": text, "label": "impactful"}


def bucket(name, expanded, count):
    return {"type": "bucket", "bucket": name, "is_expanded": expanded, "count": count}


def setting(bucket_name, name, value):
    return {"type": "setting", "bucket": bucket_name, "name": name, "value": value}


def divider(name):
    return {"type": "divider", "bucket": name}


def test_no_description_file_gives_no_rows(describe):
    assert zylsetup.build_run_items({}) == []


def test_buckets_without_listed_settings_give_no_row(describe):
    describe({
        "Text": "plain",
        "Empty": {"settings": {}},
        "OnlyRuntime": {"settings": {"config_file": "c"}},
        "Number": 4,
    })
    assert zylsetup.build_run_items({"Text": True, "Empty": True, "OnlyRuntime": True}) == []


def test_collapsed_bucket_counts_its_settings(describe):
    describe({"A": {"settings": {"dendrite_count": imp(), "verbose": "v", "config_file": "c"}}})
    assert zylsetup.build_run_items({}) == [bucket("A", False, 2)]
    assert zylsetup.build_run_items(expanded_buckets={"A": 0}) == [bucket("A", 0, 2)]


@pytest.mark.parametrize(
    "settings, expected_names",
    [
        ({"dendrite_count": imp(), "max_dendrites": imp()}, ["dendrite_count", "max_dendrites"]),
        ({"verbose": "v", "device": "d"}, ["verbose", "device"]),
        (
            {"verbose": "v", "dendrite_count": imp(), "device": {"label": "x"}, "max_dendrites": imp()},
            ["dendrite_count", "max_dendrites", "|", "verbose", "device"],
        ),
    ],
    ids=["all-impactful", "all-supporting", "mixed-impactful-first"],
)
def test_expanded_bucket_groups_and_divider(describe, fresh_pc, settings, expected_names):
    describe({"A": {"settings": settings}})
    items = zylsetup.build_run_items({"A": "yes"})
    assert items[0] == bucket("A", "yes", len(settings))
    expected = [
        divider("A") if name == "|" else setting("A", name, zylsetup.get_global_setting_value(name))
        for name in expected_names
    ]
    assert items[1:] == expected
    assert all(list(item)[:2] == ["type", "bucket"] for item in items)


def test_two_buckets_in_file_order_with_shared_setting(describe, fresh_pc):
    fresh_pc.set_dendrite_count(7)
    describe({
        "First": {"settings": {"dendrite_count": imp(), "verbose": "v"}},
        "Middle": {"settings": {"device": "d"}},
        "Second": {"settings": {"dendrite_count": "again"}},
    })
    items = zylsetup.build_run_items({"First": True, "Second": True})
    # the later bucket's plain-text entry makes dendrite_count supporting in
    # both buckets, so the first one has no divider
    assert items == [
        bucket("First", True, 2),
        setting("First", "dendrite_count", 7),
        setting("First", "verbose", False),
        bucket("Middle", False, 1),
        bucket("Second", True, 1),
        setting("Second", "dendrite_count", 7),
    ]


def test_failing_getter_and_missing_snapshot_entry(describe, monkeypatch):
    describe({"A": {"settings": {"broken": imp(), "dendrite_count": "d"}}})

    def broken():
        raise RuntimeError("gone")

    monkeypatch.setattr(GZL.pc, "get_broken", broken, raising=False)
    monkeypatch.setattr(zylsetup, "get_all_global_parameters", lambda: {"broken": "<unavailable>"})
    items = zylsetup.build_run_items({"A": True})
    assert items[1] == setting("A", "broken", "<unavailable>")
    assert items[3] == setting("A", "dendrite_count", "<unavailable>")


def test_values_are_read_once_before_labels(describe, fresh_pc, monkeypatch):
    describe({"A": {"settings": {"dendrite_count": imp()}}, "B": {"settings": {"verbose": "v"}}})
    reads = []
    real = zylsetup.get_global_setting_value

    def counting(setting_name):
        reads.append(setting_name)
        return real(setting_name)

    monkeypatch.setattr(zylsetup, "get_global_setting_value", counting)
    zylsetup.build_run_items({})
    # collapsed buckets are read too, once per described setting
    assert reads == ["dendrite_count", "verbose"]
