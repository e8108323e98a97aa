"""`python -m zylora`: the configurator on the built-in example network.

Runs against the stand-in run configuration, in the current directory; after
a save it prints the target lists and the files that were written.  When the
configurator cannot run (no terminal, a rank other than 0) or fails, it
prints why on standard error and ends with status 1.
"""

import os
import sys


def main():
    from zylora import globals_zylora as GZL
    from zylora import zylsetup
    from zylora.example_network import build_example_network

    model = build_example_network()
    before = _snapshot_files(GZL.pc)
    try:
        zylsetup.set_zylation_targets(model)
    except Exception as error:
        # A refusal (no terminal, another rank) or a failed save already
        # says what went wrong; a traceback would only bury it.  Interrupts
        # and exits are not caught: they keep their own ways out.
        # Its lines are kept; a control character inside one (a path or a
        # name read from a file) is shown, not sent to the terminal.
        lines = (str(error) or type(error).__name__).split("\n")
        print("\n".join(zylsetup.shown_text(line) for line in lines), file=sys.stderr)
        return 1
    pc = GZL.pc
    print("Module ids to zylate:  ", list(pc.get_module_ids_to_zylate()))
    print("Module ids to track:   ", list(pc.get_module_ids_to_track()))
    print("Module types to zylate:", list(pc.get_module_names_to_zylate()))
    print("Module types to track: ", list(pc.get_module_names_to_track()))
    written = [path for path, stamp in _snapshot_files(pc).items() if stamp and stamp != before.get(path)]
    if written:
        print("Files written:")
        for path in written:
            print("  " + zylsetup.shown_text(path))
    else:
        print("Files written: none")
    return 0


def _snapshot_files(pc):
    paths = [pc.get_run_config_path(), pc.get_config_file()]
    out = {}
    for path in paths:
        if path:
            try:
                stat = os.stat(path)
                out[path] = (stat.st_mtime_ns, stat.st_size)
            except OSError:
                out[path] = None
    return out


if __name__ == "__main__":
    sys.exit(main())
