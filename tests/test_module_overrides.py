import json
import os
import stat

import pytest

from zylora import zylsetup


def entry(id_, type_name="Linear", is_replaced_root=False, in_replaced=False):
    return {"id": id_, "type_name": type_name, "is_replaced_root": is_replaced_root,
            "in_replaced": in_replaced}


def record(eff, source, origin_id):
    return {"eff": eff, "source": source, "origin_id": origin_id, "overridden": None}


RESTRUCTURED = "Overrides are not available inside a module that will be restructured."
NO_MODE = ("Overrides are only for zylated modules. Zylate this one first (p), or track it if "
           "you just want it monitored.")
TRACKED = "Overrides are only for zylated modules — this one is tracked."


@pytest.mark.parametrize(
    "ent, rec, expected",
    [
        (entry(".a", is_replaced_root=True), record("zylated", "id", ".a"), (None, RESTRUCTURED)),
        (entry(".a.b", in_replaced=True), record("zylated", "type", ".a.b"), (None, RESTRUCTURED)),
        (entry(".a"), record(None, None, ".a"), (None, NO_MODE)),
        (entry(".a.b"), record("zylated", "inherited", ".a"),
         (None, "This module inherits .a's mode. Open overrides on .a to change settings for the "
                "whole subtree.")),
        (entry(".a.b"), record("tracked", "inherited", ".a"),
         (None, "This module inherits .a's mode. Open overrides on .a to change settings for the "
                "whole subtree.")),
        (entry(".a"), record("tracked", "id", ".a"), (None, TRACKED)),
        (entry(".a"), record("tracked", "type", ".a"), (None, TRACKED)),
        (entry(".a"), record("zylated", "type", ".a"), ({"kind": "type", "scope_key": "Linear"}, None)),
        (entry(".a"), record("zylated", "id", ".a"), ({"kind": "id", "scope_key": ".a"}, None)),
    ],
    ids=[
        "restructured-root", "inside-restructured", "no-mode", "inherits-zylated", "inherits-tracked",
        "tracked-by-id", "tracked-by-type", "zylated-by-type", "zylated-by-id",
    ],
)
def test_override_scope_for_entry(ent, rec, expected):
    result = zylsetup.get_override_scope_for_entry(ent, {ent["id"]: rec})
    assert result == expected and isinstance(result, tuple)
    if result[0] is not None:
        assert list(result[0]) == ["kind", "scope_key"]


def test_override_scope_missing_record_raises():
    with pytest.raises(KeyError):
        zylsetup.get_override_scope_for_entry(entry=entry(".a"), resolved={})


def test_scope_values_and_pending_edits():
    existing = {"Linear": {"a": 1, "b": 4}}
    pending = {}
    assert zylsetup.get_scope_values(".x", pending, existing) == {}
    zylsetup.set_module_scoped_value(pending, "Linear", "b", 8)
    zylsetup.set_module_scoped_value(pending, "Linear", "c", [1])
    assert zylsetup.set_module_scoped_value(
        module_settings_overrides=pending, scope_key=".x", setting_name="b", value=True) is None
    assert pending == {"Linear": {"b": 8, "c": [1]}, ".x": {"b": True}}
    values = zylsetup.get_scope_values(
        scope_key="Linear", module_settings_overrides=pending, existing_module_settings=existing)
    assert values == {"a": 1, "b": 8, "c": [1]}
    values["a"] = 0
    assert existing == {"Linear": {"a": 1, "b": 4}}


@pytest.fixture
def files(tmp_path, monkeypatch, fresh_pc):
    """Relative configuration paths inside a fresh working directory."""
    monkeypatch.chdir(tmp_path)
    fresh_pc.set_config_file("config.json")
    fresh_pc.set_run_config_path(os.path.join("run", "run_config.json"))
    return tmp_path


def write_json(path, payload):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as handle:
        json.dump(payload, handle)


def test_load_merges_per_scope_key(files):
    write_json("config.json", {"module_settings": {"Linear": {"a": 1}, ".x": {"d": 2}, "bad": 5}})
    write_json("run/run_config.json", {"other": 1, "module_settings": {"Linear": {"b": 2}}})
    assert zylsetup.load_existing_module_settings() == {"Linear": {"b": 2}, ".x": {"d": 2}}


@pytest.mark.parametrize(
    "content",
    ["{broken", "[1]", '{"module_settings": null}', '{"module_settings": [1]}', "{}"],
    ids=["invalid-json", "not-an-object", "null-settings", "list-settings", "no-settings"],
)
def test_load_skips_unusable_file(files, content):
    (files / "config.json").write_text(content)
    write_json("run/run_config.json", {"module_settings": {".y": {"z": 1}}})
    assert zylsetup.load_existing_module_settings() == {".y": {"z": 1}}


def test_load_without_paths_or_files(files, fresh_pc):
    assert zylsetup.load_existing_module_settings() == {}
    fresh_pc.set_config_file(None)
    fresh_pc.set_run_config_path("")
    fresh_pc.set_save_name("")
    fresh_pc.get_run_config_path = lambda: ""
    assert zylsetup.load_existing_module_settings() == {}


def test_load_copies_stored_maps(files):
    write_json("config.json", {"module_settings": {"Linear": {"a": 1}}})
    loaded = zylsetup.load_existing_module_settings()
    loaded["Linear"]["a"] = 2
    assert zylsetup.load_existing_module_settings() == {"Linear": {"a": 1}}


def listing(directory):
    return sorted(os.listdir(directory))


def test_nothing_pending_writes_nothing(files):
    zylsetup.persist_module_settings_updates({}, True)
    assert listing(files) == []


def test_persist_creates_run_file_only(files):
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert listing(files) == ["run"]
    text = (files / "run" / "run_config.json").read_text()
    assert text == '{\n  "module_settings": {\n    "Linear": {\n      "a": 1\n    }\n  }\n}'
    assert listing(files / "run") == ["run_config.json"]


def test_persist_merges_and_keeps_other_keys(files):
    write_json("run/run_config.json", {
        "first": "é",
        "module_settings": {"Linear": {"a": 1, "b": 2}, ".kept": {"x": 0}, ".odd": 3},
        "last": [1, 2],
    })
    pending = {"Linear": {"b": 20, "c": 30}, ".odd": {"y": 1}, ".new": {"z": None}}
    zylsetup.persist_module_settings_updates(module_settings_overrides=pending,
                                             overwrite_config_file=False)
    text = (files / "run" / "run_config.json").read_text()
    assert not text.endswith("\n") and "\\u00e9" in text
    payload = json.loads(text)
    assert list(payload) == ["first", "module_settings", "last"]
    assert payload["module_settings"] == {
        "Linear": {"a": 1, "b": 20, "c": 30}, ".kept": {"x": 0}, ".odd": {"y": 1}, ".new": {"z": None},
    }
    assert list(payload["module_settings"]) == ["Linear", ".kept", ".odd", ".new"]
    assert pending == {"Linear": {"b": 20, "c": 30}, ".odd": {"y": 1}, ".new": {"z": None}}
    assert not (files / "config.json").exists()


def test_persist_module_settings_not_a_map_is_replaced(files):
    write_json("run/run_config.json", {"module_settings": [1, 2], "keep": 1})
    zylsetup.persist_module_settings_updates({".a": {"s": 1}})
    assert json.loads((files / "run" / "run_config.json").read_text()) == {
        "module_settings": {".a": {"s": 1}}, "keep": 1}


def test_persist_default_writes_both_files(files):
    write_json("config.json", {"module_settings": {"Linear": {"a": 1}}, "base": True})
    zylsetup.persist_module_settings_updates({"Linear": {"b": 2}}, overwrite_config_file=True)
    assert json.loads((files / "config.json").read_text()) == {
        "module_settings": {"Linear": {"a": 1, "b": 2}}, "base": True}
    assert json.loads((files / "run" / "run_config.json").read_text()) == {
        "module_settings": {"Linear": {"b": 2}}}


def test_same_path_written_once(files, fresh_pc, monkeypatch):
    fresh_pc.set_config_file("same.json")
    fresh_pc.set_run_config_path("same.json")
    real_replace = os.replace
    replaced = []

    def counting_replace(src, dst):
        replaced.append(dst)
        real_replace(src, dst)

    monkeypatch.setattr(zylsetup.os, "replace", counting_replace)
    zylsetup.persist_module_settings_updates({"Linear": {"b": 2}}, True)
    assert replaced == [str(files / "same.json")]
    assert listing(files) == ["same.json"]


def test_round_trip_through_load(files):
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}, ".m": {"b": [1, 2]}}, True)
    assert zylsetup.load_existing_module_settings() == {"Linear": {"a": 1}, ".m": {"b": [1, 2]}}


# --- faults: the old file must survive intact ----------------------------------------------


def test_unencodable_value_leaves_old_file(files):
    old = b'{"module_settings": {"Linear": {"a": 1}}, "keep": 1}\n'
    (files / "run").mkdir()
    (files / "run" / "run_config.json").write_bytes(old)
    for bad in (object(), {1, 2}, b"bytes"):
        with pytest.raises(TypeError):
            zylsetup.persist_module_settings_updates({"Linear": {"a": 2, "b": bad}}, True)
    assert (files / "run" / "run_config.json").read_bytes() == old
    assert listing(files / "run") == ["run_config.json"]
    assert listing(files) == ["run"]


@pytest.mark.parametrize(
    "content, reason, error_type",
    [
        (b"{not json", "is not valid JSON", ValueError),
        (b"", "is not valid JSON", ValueError),
        (b"[1, 2]", "holds a JSON array, not an object", ValueError),
        (b'"text"', "holds a JSON string, not an object", ValueError),
        (b"\xff\xfe{}", "could not be read", ValueError),
    ],
    ids=["invalid-json", "empty", "array", "string", "undecodable"],
)
def test_unusable_destination_is_not_overwritten(files, fresh_pc, content, reason, error_type):
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").write_bytes(content)
    with pytest.raises(error_type) as error:
        zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    message = str(error.value)
    assert '"run.json"' in message and reason in message and "left unchanged" in message
    assert (files / "run.json").read_bytes() == content
    assert listing(files) == ["run.json"]


def test_unreadable_destination_is_not_overwritten(files, fresh_pc, monkeypatch):
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").write_text("{}")
    real_open = open

    def guarded_open(file, mode="r", *args, **kwargs):
        if file == "run.json" and "r" in mode:
            raise PermissionError(13, "Permission denied", file)
        return real_open(file, mode, *args, **kwargs)

    monkeypatch.setattr("builtins.open", guarded_open)
    with pytest.raises(PermissionError) as error:
        zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert '"run.json": it could not be read ([Errno 13] Permission denied' in str(error.value)
    assert isinstance(error.value.__cause__, PermissionError)
    monkeypatch.undo()
    assert (files / "run.json").read_text() == "{}"
    assert listing(files) == ["run.json"]


def test_directory_as_destination_is_refused(files, fresh_pc):
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").mkdir()
    with pytest.raises(IsADirectoryError, match='"run.json": it could not be read'):
        zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert listing(files) == ["run.json"]


def test_symbolic_link_is_written_through(files, fresh_pc):
    (files / "store").mkdir()
    target = files / "store" / "real.json"
    target.write_text('{"keep": 1}')
    os.symlink(os.path.join("store", "real.json"), files / "link.json")
    fresh_pc.set_run_config_path("link.json")
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert os.path.islink(files / "link.json")
    assert os.readlink(files / "link.json") == os.path.join("store", "real.json")
    assert json.loads(target.read_text()) == {"keep": 1, "module_settings": {"Linear": {"a": 1}}}
    assert listing(files / "store") == ["real.json"]
    assert listing(files) == ["link.json", "store"]


def test_permission_bits_are_kept(files, fresh_pc):
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").write_text("{}")
    os.chmod(files / "run.json", 0o640)
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert stat.S_IMODE(os.stat(files / "run.json").st_mode) == 0o640


def test_new_file_follows_umask(files, fresh_pc):
    fresh_pc.set_run_config_path("run.json")
    old_umask = os.umask(0o027)
    try:
        zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(os.stat(files / "run.json").st_mode) == 0o640


def test_failed_replace_leaves_no_temporary_file(files, fresh_pc, monkeypatch):
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").write_text('{"keep": 1}')

    def failing_replace(src, dst):
        raise OSError("disk said no")

    monkeypatch.setattr(zylsetup.os, "replace", failing_replace)
    with pytest.raises(OSError, match="disk said no"):
        zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert listing(files) == ["run.json"]
    assert (files / "run.json").read_text() == '{"keep": 1}'
