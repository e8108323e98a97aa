"""Stand-in for the platform's globals module.

The real package ships its own ``globals_zylora``; this small module offers
the same surface the native core relies on, so the core builds, runs and is
tested on its own.  It is deliberately plain: a run-configuration object
with get_/set_ accessors, the target lists, and a JSON writer for the run's
configuration.
"""

import errno
import json
import os
import secrets
import stat

DOING_SWITCH_EVERY_TIME = 0
DOING_HISTORY = 1
DOING_FIXED_SWITCH = 2
DOING_NO_SWITCH = 3


def callable_config_repr(value):
    """Display text of a callable setting value."""
    module = getattr(value, "__module__", None) or ""
    name = getattr(value, "__qualname__", None) or getattr(value, "__name__", None)
    if name is None:
        return repr(value)
    return f"{module}.{name}" if module else name


def _json_kind(value):
    if isinstance(value, list):
        return "array"
    if isinstance(value, str):
        return "string"
    if isinstance(value, bool):
        return "true/false value"
    if isinstance(value, (int, float)):
        return "number"
    return "null" if value is None else "value"


def _irregular_kind(status):
    """What stands there when it is neither a regular file nor a folder."""
    mode = status.st_mode
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return None
    for test, kind in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "a special file"


def _open_without_blocking(path, flags):
    return os.open(path, flags | os.O_NONBLOCK | os.O_NOCTTY, 0o666)


def _load_json_object(path):
    """The object an existing configuration file holds.

    A file that holds anything else cannot be merged into without losing
    what it holds, so it stops the write instead of being replaced.  Nothing
    but a regular file is opened, and the open never waits (a FIFO would).
    """
    def refuse(why, cause=None):
        message = f'Cannot write the run configuration to "{path}": {why}; the file was left unchanged.'
        raise ValueError(message) from cause

    kind = _irregular_kind(os.stat(path))
    if kind:
        refuse(f"it is {kind}, not a regular file")
    # An OSError names the file itself.
    with open(path, "r", encoding="utf-8", opener=_open_without_blocking) as handle:
        kind = _irregular_kind(os.fstat(handle.fileno()))
        if kind:
            refuse(f"it is {kind}, not a regular file")
        try:
            loaded = json.load(handle)
        except UnicodeDecodeError as exc:
            refuse(f"it could not be read ({exc})", exc)
        except ValueError as exc:
            refuse(f"it is not valid JSON ({exc})", exc)
    if not isinstance(loaded, dict):
        refuse(f"it holds a JSON {_json_kind(loaded)}, not an object")
    return loaded


def _refuse_irregular(status, path):
    if stat.S_ISDIR(status.st_mode):
        raise OSError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    kind = _irregular_kind(status)
    if kind:
        raise OSError(errno.EINVAL, f"it is {kind}, not a regular file", path)


def _write_all(fd, data):
    view = memoryview(data)
    done = 0
    while done < len(data):
        done += os.pwrite(fd, view[done:], done)


class _Write:
    """One file of a write on its way to disk."""

    def __init__(self, path, data):
        self.path = path  # as the configuration names it: errors name it
        self.target = os.path.realpath(path)  # the file a symbolic link leads to
        self.data = data
        self.status = None  # the target's status before, or None for a new file
        self.temporary = None  # the finished copy beside it; None: written in place


def _overwrite_in_place(write):
    # On a failure the old content goes back (it fits where it was, so a full
    # disk cannot refuse it) with its times.
    status = write.status
    fd = _open_without_blocking(write.target, os.O_RDWR | os.O_CREAT)
    old = None
    try:
        _refuse_irregular(os.fstat(fd), write.path)
        old = b"".join(iter(lambda: os.read(fd, 1 << 20), b""))
        _write_all(fd, write.data)
        os.ftruncate(fd, len(write.data))
        os.fsync(fd)
    except BaseException:
        try:
            if old is not None and status is not None:
                _write_all(fd, old)
                os.ftruncate(fd, len(old))
                os.utime(fd, ns=(status.st_atime_ns, status.st_mtime_ns))
        except OSError:
            pass
        os.close(fd)
        if status is None:
            try:
                os.remove(write.target)
            except OSError:
                pass
        raise
    os.close(fd)


def _carry_extended_attributes(fd, target):
    if not hasattr(os, "listxattr"):
        return
    try:
        names = os.listxattr(target)
    except OSError as exc:
        if exc.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            return
        raise
    # What the new file got by itself from its folder (a default ACL) goes.
    for name in os.listxattr(fd):
        if name not in names:
            os.removexattr(fd, name)
    for name in names:
        value = os.getxattr(target, name)
        try:
            own = os.getxattr(fd, name)
        except OSError:
            own = None
        if own != value:
            os.setxattr(fd, name, value)


def _carry_metadata(fd, write):
    """Owner, group, extended attributes (ACLs among them), then mode, as a
    change of owner clears set-id bits; False where any cannot follow."""
    status = write.status
    mode = status.st_mode & 0o7777
    try:
        own = os.fstat(fd)
        if (own.st_uid, own.st_gid) != (status.st_uid, status.st_gid):
            os.fchown(fd, status.st_uid, status.st_gid)
        _carry_extended_attributes(fd, write.target)
        os.fchmod(fd, mode)
        own = os.fstat(fd)
    except OSError:
        return False
    return (own.st_uid, own.st_gid, own.st_mode & 0o7777) == (status.st_uid, status.st_gid, mode)


def _write_temporary(write):
    """Writes the whole new content beside the target, with its metadata;
    leaves `temporary` None, and nothing behind, where the folder refuses a
    new file or the metadata cannot follow."""
    folder, base = os.path.split(write.target)
    while True:
        # Only 50 characters of the name, so a long name still fits.
        temp = os.path.join(folder, f".{base[:50]}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            if exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
                return
            raise
    try:
        try:
            carried = write.status is None or _carry_metadata(fd, write)
            if carried:
                _write_all(fd, write.data)
                os.fsync(fd)
        finally:
            os.close(fd)
    except BaseException:
        _remove_quietly(temp)
        raise
    if carried:
        write.temporary = temp
    else:
        _remove_quietly(temp)


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def _commit(writes, at):
    # The files written in place first: until the first swap every file
    # still holds its old content.
    for write in writes:
        at[0] = write
        if write.temporary is None:
            _overwrite_in_place(write)
    for write in writes:
        at[0] = write
        temp, write.temporary = write.temporary, None
        if temp is None:
            continue
        try:
            os.replace(temp, write.target)
        except OSError as exc:
            _remove_quietly(temp)
            # A file mounted on its own, or someone else's in a sticky folder.
            if exc.errno not in (errno.EBUSY, errno.EXDEV, errno.EPERM, errno.EACCES):
                raise
            _overwrite_in_place(write)


def _write_json_files(files):
    """Writes each (path, data) as that path's whole new content; each file
    ends up holding its old content or all of the new one.

    Every new content is written beside its file before the first file is
    replaced, so a full disk met on the way leaves every file as it was.  A
    symbolic link is written through; an existing file keeps its owner,
    group, mode, extended attributes and hard links.  An error names the path,
    never a temporary file.
    """
    writes = [_Write(path, json.dumps(data, indent=2).encode("utf-8")) for path, data in files]
    at = [None]
    try:
        for write in writes:
            at[0] = write
            try:
                write.status = os.stat(write.target)
            except FileNotFoundError:
                pass
            else:
                _refuse_irregular(write.status, write.path)
                # A rename would cut the other names of a hard-linked file off.
                if write.status.st_nlink > 1:
                    continue
            _write_temporary(write)
        _commit(writes, at)
    except BaseException as exc:
        for write in writes:
            if write.temporary is not None:
                _remove_quietly(write.temporary)
        path = at[0].path if at[0] is not None else None
        if not isinstance(exc, OSError) or exc.errno is None or path is None or exc.filename == path:
            raise
        raise type(exc)(exc.errno, exc.strerror, path) from exc


class ZYLConfig:
    # Settings that a single module may override, in display order.
    _CUSTOMIZABLE = {
        "dendrite_count": int,
        "candidate_weight_init_scale": float,
        "improvement_threshold": float,
        "switch_mode": int,
        "zyl_forward_function": object,
        "learn_dendrites_live": bool,
    }

    DOING_SWITCH_EVERY_TIME = DOING_SWITCH_EVERY_TIME
    DOING_HISTORY = DOING_HISTORY
    DOING_FIXED_SWITCH = DOING_FIXED_SWITCH
    DOING_NO_SWITCH = DOING_NO_SWITCH

    def __init__(self):
        try:
            import torch
            forward = torch.sigmoid
            from .example_network import GatedResidualBlock
            replace = [GatedResidualBlock]
        except ImportError:  # the configurator still imports without torch
            forward = "sigmoid"
            replace = []

        self._module_ids_to_zylate = []
        self._module_ids_to_track = []
        self._module_names_to_zylate = []
        self._module_names_to_track = []
        self._modules_to_replace = replace
        self._modules_to_track = []
        self._module_names_to_not_save = [".base_model"]
        self._configuration_confirmed = False
        self._extra_verbose = False
        self._run_config_path = None
        self.__dict__["_config_file"] = None

        # Run settings.
        self._dendrite_count = 1
        self._max_dendrites = 5
        self._candidate_weight_init_scale = 0.01
        self._improvement_threshold = 0.0001
        self._n_epochs_to_switch = 10
        self._history_lookback = 1
        self._switch_mode = DOING_HISTORY
        self._zyl_forward_function = forward
        self._learn_dendrites_live = False
        self._use_skip_weights = True
        self._test_saves = True
        self._save_name = "ZYL"
        self._input_dimensions = [-1, 0, -1, -1]
        self._device = "cpu"
        self._optimizer_name = "Adam"
        self._verbose = False

    # --- target lists ---------------------------------------------------
    def get_module_ids_to_zylate(self):
        return self._module_ids_to_zylate

    def set_module_ids_to_zylate(self, values):
        self._module_ids_to_zylate = list(values)

    def get_module_ids_to_track(self):
        return self._module_ids_to_track

    def set_module_ids_to_track(self, values):
        self._module_ids_to_track = list(values)

    def get_module_names_to_zylate(self):
        return self._module_names_to_zylate

    def set_module_names_to_zylate(self, values):
        self._module_names_to_zylate = list(values)

    def get_module_names_to_track(self):
        return self._module_names_to_track

    def set_module_names_to_track(self, values):
        self._module_names_to_track = list(values)

    # --- structure --------------------------------------------------------
    def get_modules_to_replace(self):
        return self._modules_to_replace

    def set_modules_to_replace(self, values):
        self._modules_to_replace = list(values)

    def get_modules_to_track(self):
        return self._modules_to_track

    def set_modules_to_track(self, values):
        self._modules_to_track = list(values)

    def get_module_names_to_not_save(self):
        return self._module_names_to_not_save

    def set_module_names_to_not_save(self, values):
        self._module_names_to_not_save = list(values)

    def get_extra_verbose(self):
        return self._extra_verbose

    def set_extra_verbose(self, value):
        self._extra_verbose = bool(value)

    # --- files --------------------------------------------------------------
    def get_config_file(self):
        return self.__dict__.get("_config_file")

    def set_config_file(self, path):
        self.__dict__["_config_file"] = path

    def get_run_config_path(self):
        if self._run_config_path:
            return self._run_config_path
        name = self.get_save_name() or "ZYL"
        return os.path.join(name, name + "_config.json")

    def set_run_config_path(self, path):
        self._run_config_path = path

    def get_save_name(self):
        return self._save_name

    def set_save_name(self, value):
        self._save_name = str(value)

    def get_configuration_confirmed(self):
        return self._configuration_confirmed

    def set_configuration_confirmed(self, value):
        self._configuration_confirmed = bool(value)

    # --- run settings -----------------------------------------------------
    def get_dendrite_count(self):
        return self._dendrite_count

    def set_dendrite_count(self, value):
        if int(value) < 0:
            raise ValueError("dendrite_count must be >= 0")
        self._dendrite_count = int(value)

    def get_max_dendrites(self):
        return self._max_dendrites

    def set_max_dendrites(self, value):
        self._max_dendrites = int(value)

    def get_candidate_weight_init_scale(self):
        return self._candidate_weight_init_scale

    def set_candidate_weight_init_scale(self, value):
        self._candidate_weight_init_scale = float(value)

    def get_improvement_threshold(self):
        return self._improvement_threshold

    def set_improvement_threshold(self, value):
        self._improvement_threshold = float(value)

    def get_n_epochs_to_switch(self):
        return self._n_epochs_to_switch

    def set_n_epochs_to_switch(self, value):
        self._n_epochs_to_switch = int(value)

    def get_history_lookback(self):
        return self._history_lookback

    def set_history_lookback(self, value):
        self._history_lookback = int(value)

    def get_switch_mode(self):
        return self._switch_mode

    def set_switch_mode(self, value):
        self._switch_mode = value

    def get_zyl_forward_function(self):
        return self._zyl_forward_function

    def set_zyl_forward_function(self, value):
        self._zyl_forward_function = value

    def get_learn_dendrites_live(self):
        return self._learn_dendrites_live

    def set_learn_dendrites_live(self, value):
        self._learn_dendrites_live = bool(value)

    def get_use_skip_weights(self):
        return self._use_skip_weights

    def set_use_skip_weights(self, value):
        self._use_skip_weights = bool(value)

    def get_test_saves(self):
        return self._test_saves

    def set_test_saves(self, value):
        self._test_saves = bool(value)

    def get_input_dimensions(self):
        return self._input_dimensions

    def set_input_dimensions(self, value):
        self._input_dimensions = list(value)

    def get_device(self):
        return self._device

    def set_device(self, value):
        self._device = str(value)

    def get_optimizer_name(self):
        return self._optimizer_name

    def set_optimizer_name(self, value):
        self._optimizer_name = str(value)

    def get_verbose(self):
        return self._verbose

    def set_verbose(self, value):
        self._verbose = bool(value)

    # --- persistence ------------------------------------------------------
    _PERSISTED = (
        "dendrite_count", "max_dendrites", "candidate_weight_init_scale",
        "improvement_threshold", "n_epochs_to_switch", "history_lookback",
        "switch_mode", "zyl_forward_function", "learn_dendrites_live",
        "use_skip_weights", "test_saves", "save_name", "input_dimensions",
        "device", "optimizer_name", "verbose",
        "module_ids_to_zylate", "module_ids_to_track",
        "module_names_to_zylate", "module_names_to_track",
    )

    def config_snapshot(self):
        out = {}
        for name in self._PERSISTED:
            value = getattr(self, "get_" + name)()
            if callable(value):
                value = getattr(value, "__name__", repr(value))
            elif not isinstance(value, (str, int, float, bool, type(None))):
                value = list(value)
            out[name] = value
        return out

    def persist_config_outputs(self, overwrite_config_file=False):
        """Write the run's configuration; also the configuration file on request.

        Existing top-level keys of a target file (module_settings among them)
        are kept; the run's settings replace their own keys.  A target that
        exists but does not hold a JSON object is refused (ValueError, or the
        OSError of reading it) before any file is written.
        """
        targets = [self.get_run_config_path()]
        if overwrite_config_file and self.__dict__.get("_config_file"):
            targets.append(self.__dict__["_config_file"])
        # Every target is read before the first is written: a file that
        # cannot be merged into stops the whole write.
        merged = {}
        for path in targets:
            if path and path not in merged:
                merged[path] = _load_json_object(path) if os.path.exists(path) else {}
        for path, data in merged.items():
            data.update(self.config_snapshot())
            parent = os.path.dirname(path)
            if parent:
                os.makedirs(parent, exist_ok=True)
        _write_json_files(merged.items())
        return list(merged)

    def maybe_auto_persist(self):
        """What the platform does after each setter when auto-persist is on."""
        if self.__dict__.get("_auto_persist_config", True):
            return self.persist_config_outputs()
        return []


pc = ZYLConfig()
