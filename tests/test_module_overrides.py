import errno
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import time

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup

from bad_files import BAD_FILES, disk_state, fifo, unix_socket
from conftest import file_modes_bind


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


@pytest.mark.may_block
@pytest.mark.parametrize("make", [fifo, unix_socket], ids=["fifo", "socket"])
def test_load_skips_what_is_not_a_regular_file(files, make):
    make(files / "config.json")
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


# --- a save is refused before its first file is written ------------------------------------

RUN_FILE = os.path.join("run", "run_config.json")


@pytest.mark.parametrize("make_bad, reason", BAD_FILES)
@pytest.mark.parametrize(
    "destination, overwrite",
    [(RUN_FILE, False), (RUN_FILE, True), ("config.json", True)],
    ids=["run-file", "run-file-as-default", "config-file"],
)
def test_save_refusal_names_the_file_and_why(files, destination, overwrite, make_bad, reason):
    (files / "run").mkdir()
    make_bad(files / destination)
    before = disk_state(files)
    refusal = zylsetup._save_destination_refusal(overwrite)
    assert refusal.startswith(f'Cannot save to "{destination}": {reason}')
    assert refusal.endswith("; nothing was saved.")
    assert disk_state(files) == before


@pytest.mark.parametrize(
    "prepare, overwrite",
    [(lambda root: None, True),
     (lambda root: (root / "config.json").write_text("[]"), False),
     (lambda root: [(root / "run").mkdir(), (root / RUN_FILE).write_text('{"a": 1}'),
                    (root / "config.json").write_text("{}")], True)],
    ids=["nothing-exists-yet", "config-file-not-written", "both-hold-objects"],
)
def test_save_refusal_lets_a_good_save_through(files, prepare, overwrite):
    prepare(files)
    assert zylsetup._save_destination_refusal(overwrite_config_file=overwrite) is None


def test_save_refusal_of_a_file_standing_for_a_folder(files):
    (files / "run").write_text("{}")
    refusal = zylsetup._save_destination_refusal(False)
    assert refusal == (f'Cannot save to "{RUN_FILE}": "{files / "run"}" is not a folder to create '
                       f'it in; nothing was saved.')


def link_loop(root, monkeypatch):
    os.symlink("loop.json", root / "loop.json")


def under_sys(root, monkeypatch):
    if not os.path.isdir("/sys/kernel"):
        pytest.skip("no /sys here")


def current_folder_deleted(root, monkeypatch):
    (root / "gone").mkdir()
    monkeypatch.chdir(root / "gone")
    (root / "gone").rmdir()


LONG = "n" * 300
TOO_LONG = "its name is longer than the file system allows"


@pytest.mark.parametrize(
    "run_file, config_file, prepare, refused, reason",
    [("ZYL/ZYL_config.json", "ZYL", None, "ZYL", 'it is the folder of "ZYL/ZYL_config.json"'),
     ("run.json", "run.json/cfg.json", None, "run.json", 'it is the folder of "run.json/cfg.json"'),
     (RUN_FILE, "cfg/", None, "cfg/", "it names a folder, not a file"),
     (RUN_FILE, LONG + ".json", None, LONG + ".json", TOO_LONG),
     ("loop.json", None, link_loop, "loop.json",
      "it cannot be looked up ([Errno 40] Too many levels of symbolic links)"),
     (f"new/{LONG}/run.json", None, None, f"new/{LONG}/run.json", TOO_LONG),
     ("/sys/zylora-new/run.json", None, under_sys, "/sys/zylora-new/run.json", 'its folder "/sys'),
     (RUN_FILE, None, current_folder_deleted, RUN_FILE, "the current folder no longer exists (")],
    ids=["typed-run-file-folder", "run-file-as-folder", "typed-ends-in-slash", "typed-too-long",
         "link-loop", "folder-name-too-long", "folder-cannot-be-made", "current-folder-deleted"],
)
def test_save_refusal_of_names_that_cannot_be_the_file(files, fresh_pc, monkeypatch, run_file,
                                                       config_file, prepare, refused, reason):
    fresh_pc.set_run_config_path(run_file)
    fresh_pc.set_config_file(config_file)
    if prepare:
        prepare(files, monkeypatch)
    before = disk_state(files)
    refusal = zylsetup._save_destination_refusal(config_file is not None)
    assert refusal.startswith(f'Cannot save to "{refused}": {reason}')
    assert refusal.endswith("; nothing was saved.")
    assert disk_state(files) == before
    assert not os.path.exists("/sys/zylora-new")


@pytest.mark.needs_file_modes
@pytest.mark.parametrize(
    "folder_mode, file_mode, reason",
    [(0o555, None, 'its folder "{folder}" cannot be written to'),
     (0o755, 0o444, "it cannot be written ([Errno 13] Permission denied")],
    ids=["unwritable-folder-new-file", "read-only-file"],
)
def test_save_refusal_of_what_cannot_be_written(files, folder_mode, file_mode, reason):
    folder = files / "run"
    folder.mkdir()
    if file_mode is not None:
        (files / RUN_FILE).write_text("{}")
        (files / RUN_FILE).chmod(file_mode)
    folder.chmod(folder_mode)
    try:
        refusal = zylsetup._save_destination_refusal(False)
    finally:
        folder.chmod(0o755)
    assert refusal.startswith(f'Cannot save to "{RUN_FILE}": ' + reason.format(folder=folder))


def pending_and_default():
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}}, True)


def run_configuration_and_default():
    GZL.pc.persist_config_outputs(overwrite_config_file=True)


# Both writers of the save's files: the overrides, and the stand-in's run configuration.
WRITERS = [pytest.param(pending_and_default, id="overrides"),
           pytest.param(run_configuration_and_default, id="stand-in")]


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("make_bad, reason", BAD_FILES)
@pytest.mark.parametrize("bad", [RUN_FILE, "config.json"], ids=["run-file", "config-file"])
def test_writer_refuses_a_file_it_cannot_merge(files, write, make_bad, reason, bad):
    (files / "run").mkdir()
    make_bad(files / bad)
    before = disk_state(files)
    with pytest.raises((ValueError, OSError)) as error:
        write()
    assert bad in str(error.value)
    assert disk_state(files) == before


@pytest.mark.parametrize("write", WRITERS)
def test_hard_linked_file_keeps_its_links(files, write):
    (files / "run").mkdir()
    (files / RUN_FILE).write_text('{"keep": 1}')
    os.link(files / RUN_FILE, files / "other_name.json")
    write()
    assert os.stat(files / RUN_FILE).st_nlink == 2
    assert (files / "other_name.json").read_text() == (files / RUN_FILE).read_text()
    assert json.loads((files / "other_name.json").read_text())["keep"] == 1
    assert listing(files / "run") == ["run_config.json"]


def other_group():
    """A group the writer may give a file that is not its own primary group."""
    own = os.getegid()
    candidates = [1, 2, 65534] if os.geteuid() == 0 else os.getgroups()
    return next((group for group in candidates if group != own), None)


def give(path, uid, gid):
    try:
        os.chown(path, uid, gid)
    except (PermissionError, TypeError):  # not ours to give (or no second group)
        pytest.skip(f"this process cannot give a file to {uid}:{gid}")


def give_group(path):
    give(path, -1, other_group())
    os.chmod(path, 0o660)
    return lambda p: (os.stat(p).st_gid, stat.S_IMODE(os.stat(p).st_mode))


def give_owner(path):
    give(path, 65534, other_group())
    return lambda p: (os.stat(p).st_uid, os.stat(p).st_gid)


def give_attribute(name, value):
    def give(path):
        try:
            os.setxattr(path, name, value)
        except (AttributeError, OSError) as error:
            pytest.skip(f"no {name} here: {error}")
        return lambda p: os.getxattr(p, name)

    return give


NO_ID = 0xFFFFFFFF
# The ACL user::rw- user:65534:r-- group::r-- mask::r-- other::r-- as the system stores it.
ACL = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in [
    (0x01, 6, NO_ID), (0x02, 4, 65534), (0x04, 4, NO_ID), (0x10, 4, NO_ID), (0x20, 4, NO_ID)])

METADATA = [pytest.param(give_group, id="group"),
            pytest.param(give_owner, id="owner"),
            pytest.param(give_attribute("user.zylora", b"kept"), id="extended-attribute"),
            pytest.param(give_attribute("system.posix_acl_access", ACL), id="acl")]


def holds_new_content(path):
    return json.loads(path.read_text()).keys() > {"keep"}


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("give", METADATA)
def test_replaced_file_keeps_its_metadata(files, write, give):
    (files / "run").mkdir()
    (files / RUN_FILE).write_text('{"keep": 1}')
    read = give(files / RUN_FILE)
    before = read(files / RUN_FILE)
    write()
    assert read(files / RUN_FILE) == before
    assert holds_new_content(files / RUN_FILE)
    assert listing(files / "run") == ["run_config.json"]


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize(
    "give, refused",
    [(give_group, "fchown"), (give_attribute("user.zylora", b"kept"), "setxattr")],
    ids=["group", "extended-attribute"],
)
def test_metadata_that_cannot_follow_is_kept_by_writing_in_place(files, monkeypatch, write,
                                                                give, refused):
    (files / "run").mkdir()
    path = files / RUN_FILE
    path.write_text('{"keep": 1}')
    read = give(path)
    before, inode = read(path), os.stat(path).st_ino

    def refuse(*args):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM))

    monkeypatch.setattr(os, refused, refuse)
    write()
    monkeypatch.undo()
    assert os.stat(path).st_ino == inode and read(path) == before
    assert holds_new_content(path)
    assert listing(files / "run") == ["run_config.json"]


def refuse_temporaries(monkeypatch, number):
    real_open = os.open

    def guarded_open(path, flags, *args):
        if os.path.basename(path).startswith(".") and str(path).endswith(".tmp"):
            raise OSError(number, os.strerror(number), path)
        return real_open(path, flags, *args)

    monkeypatch.setattr(os, "open", guarded_open)


def refuse_renames(monkeypatch, number):
    def refused(src, dst):
        raise OSError(number, os.strerror(number), src, dst)

    monkeypatch.setattr(os, "replace", refused)


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize(
    "refuse, number",
    [(refuse_temporaries, errno.EACCES), (refuse_renames, errno.EBUSY),
     (refuse_renames, errno.EXDEV), (refuse_renames, errno.EPERM)],
    ids=["shared-folder", "file-mounted-alone", "other-device", "sticky-folder"],
)
def test_file_is_written_in_place_where_the_folder_refuses(files, monkeypatch, write, refuse,
                                                           number):
    (files / "run").mkdir()
    (files / RUN_FILE).write_text('{"keep": 1}')
    (files / "config.json").write_text('{"base": 2}')
    inodes = [os.stat(files / name).st_ino for name in (RUN_FILE, "config.json")]
    refuse(monkeypatch, number)
    write()
    monkeypatch.undo()
    assert [os.stat(files / name).st_ino for name in (RUN_FILE, "config.json")] == inodes
    assert json.loads((files / RUN_FILE).read_text())["keep"] == 1
    assert json.loads((files / "config.json").read_text())["base"] == 2
    assert listing(files) == ["config.json", "run"] and listing(files / "run") == ["run_config.json"]


@pytest.mark.needs_file_modes
@pytest.mark.parametrize("write", WRITERS)
def test_file_in_unwritable_folder_is_written_in_place(files, write):
    (files / "run").mkdir()
    (files / RUN_FILE).write_text('{"keep": 1}')
    (files / "config.json").write_text('{"base": 2}')
    (files / "run").chmod(0o555)
    files.chmod(0o555)
    try:
        write()
    finally:
        files.chmod(0o755)
        (files / "run").chmod(0o755)
    assert json.loads((files / RUN_FILE).read_text())["keep"] == 1
    assert json.loads((files / "config.json").read_text())["base"] == 2
    assert listing(files) == ["config.json", "run"] and listing(files / "run") == ["run_config.json"]


def fill_the_disk(monkeypatch, after_bytes):
    """os.pwrite writes `after_bytes` bytes, then finds the disk full once."""
    real_pwrite = os.pwrite
    state = {"left": after_bytes, "failed": False}

    def pwrite(fd, data, offset):
        if state["failed"]:
            return real_pwrite(fd, data, offset)
        if state["left"] == 0:
            state["failed"] = True
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        data = bytes(data[:state["left"]])
        state["left"] -= len(data)
        return real_pwrite(fd, data, offset)

    monkeypatch.setattr(os, "pwrite", pwrite)


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("hard_linked", [False, True], ids=["through-temporary", "in-place"])
def test_full_disk_leaves_the_old_content_and_names_the_file(files, monkeypatch, write,
                                                             hard_linked):
    (files / "run").mkdir()
    old = b'{"keep": 1, "module_settings": {"Linear": {"a": 0}}}'
    (files / RUN_FILE).write_bytes(old)
    if hard_linked:
        os.link(files / RUN_FILE, files / "other_name.json")
    fill_the_disk(monkeypatch, after_bytes=5)
    with pytest.raises(OSError) as error:
        write()
    monkeypatch.undo()
    # Every copy beside its file is written before any file is written in
    # place: the hard-linked file is not reached.
    assert error.value.errno == errno.ENOSPC
    assert error.value.filename == ("config.json" if hard_linked else RUN_FILE)
    assert (files / RUN_FILE).read_bytes() == old
    assert listing(files / "run") == ["run_config.json"]
    assert not (files / "config.json").exists()


def test_large_file_written_in_place_in_linear_time(files, fresh_pc):
    # A hard-linked file is written in place, its old bytes kept for a
    # failure: 40 MB take a fraction of a second of this process's time when
    # they are read in linear time, and many seconds when not.
    fresh_pc.set_run_config_path("run.json")
    (files / "run.json").write_text(json.dumps({"blob": "x" * (40 << 20)}))
    os.link(files / "run.json", files / "other_name.json")
    started = time.process_time()
    zylsetup.persist_module_settings_updates({"Linear": {"a": 1}})
    assert time.process_time() - started < 4
    assert json.loads((files / "other_name.json").read_text())["module_settings"] == {
        "Linear": {"a": 1}}


def test_file_mode_cases_without_root_overrides():
    """Root reads and writes past file modes; the cases that need them to bind
    run again in a child without root's override capabilities."""
    if file_modes_bind():
        pytest.skip("file modes bind this process: those cases ran here")
    drop = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search",
            "--inh-caps", "-dac_override,-dac_read_search"]
    if shutil.which("setpriv") is None or subprocess.run(drop + ["true"]).returncode != 0:
        pytest.skip("root's override capabilities cannot be dropped here")
    tests = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run(
        drop + [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                "-m", "needs_file_modes", tests],
        cwd=os.path.dirname(tests), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-3000:]
    summary = result.stdout.strip().splitlines()[-1]
    assert re.search(r"\d+ passed", summary) and "skipped" not in summary, summary
