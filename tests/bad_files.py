"""Existing files that a save must refuse to write into, and a way to tell
afterwards that nothing on disk changed."""

import os
import socket

import pytest


def invalid_json(path):
    path.write_text('{"module_settings": ')


def json_array(path):
    path.write_text('[{"module_settings": {}}]')


def directory(path):
    path.mkdir()
    (path / "inside.json").write_text("{}")


def unreadable(path):
    path.write_text('{"keep": 1}')
    path.chmod(0o200)


def fifo(path):
    os.mkfifo(path)


def unix_socket(path):
    # A socket's path must be short: bound relative to the working folder.
    name = os.path.relpath(path)
    if len(os.fsencode(name)) > 100:
        pytest.skip("no short path for a socket here")
    server = socket.socket(socket.AF_UNIX)
    server.bind(name)
    server.close()


# (make the bad file at a path, the reason a refusal gives)
BAD_FILES = [
    pytest.param(invalid_json, "it is not valid JSON (", id="invalid-json"),
    pytest.param(json_array, "it holds a JSON array, not an object", id="json-array"),
    pytest.param(directory, "it could not be read ([Errno 21] Is a directory", id="directory"),
    pytest.param(unreadable, "it could not be read ([Errno 13] Permission denied", id="unreadable",
                 marks=pytest.mark.needs_file_modes),
    pytest.param(fifo, "it is a FIFO, not a regular file", id="fifo", marks=pytest.mark.may_block),
    pytest.param(unix_socket, "it is a socket, not a regular file", id="socket"),
]


def disk_state(root):
    """Every path below root with its kind, inode, size, change time and, where
    it can be read, its content: equal states mean nothing was written."""
    state = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            content = None
            if os.path.isfile(path):
                try:
                    with open(path, "rb") as handle:
                        content = handle.read()
                except PermissionError:
                    pass
            state[os.path.relpath(path, root)] = (
                info.st_mode, info.st_ino, info.st_size, info.st_mtime_ns, content)
    return state
