"""Speed of the configurator's per-key work and of converted dendrite layers.

Run with `make bench`, which runs it twice: with the fast paths, and with
ZYLORA_NO_FAST_PATHS=1 down the plain route.  Prints which route it took, one
table row per measurement (median of several runs, milliseconds) and, last,
the whole loop pass at 10,000 modules.

Times are CPU time of this process (time.process_time), so other work on a
loaded machine does not inflate them; torch runs on one thread for the same
reason.  The threaded forward waits on other threads, so it is wall time.
Stages whose functions have not landed yet are skipped and named in a note.
"""

import os
import statistics
import sys
import time

os.environ["COLUMNS"] = "120"  # compose and wrap at a fixed 120x40 screen
os.environ["LINES"] = "40"

import torch
from torch import nn

torch.set_num_threads(1)

from zylora import globals_zylora as GZL
from zylora import zylsetup, zylstrip


class ReplacedBlock(nn.Module):
    """Stands for a block the platform restructures before training."""

    def __init__(self, width):
        super().__init__()
        self.inner = nn.Sequential(nn.Linear(width, width), nn.LayerNorm(width), nn.Dropout(0.1))
        self.out = nn.Linear(width, width)


class Block(nn.Module):
    def __init__(self, width):
        super().__init__()
        self.attn = nn.Sequential(nn.Linear(width, width), nn.Linear(width, width), nn.Linear(width, width))
        self.norm1 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(nn.Linear(width, width), nn.Dropout(0.1), nn.Linear(width, width))
        self.norm2 = nn.LayerNorm(width)


def build_network(target_modules, width=4):
    """Stacks of blocks in ModuleLists; about `target_modules` submodules."""
    net = nn.Module()
    net.stacks = nn.ModuleList()
    count = 1  # net.stacks
    stack = None
    i = 0
    while count < target_modules - 1:
        if i % 50 == 0:
            stack = nn.ModuleList()
            net.stacks.append(stack)
            count += 1
        block = ReplacedBlock(width) if i % 7 == 3 else Block(width)
        stack.append(block)
        count += sum(1 for _ in block.modules())
        i += 1
    net.head = nn.Linear(width, width)
    return net


def configure_targets(entries):
    ids = [e["id"] for e in entries]
    plain = [e for e in entries if not e["in_replaced"] and not e["is_replaced_root"]]
    pc = GZL.pc
    pc.set_modules_to_replace([ReplacedBlock])
    pc.set_module_ids_to_zylate([e["id"] for e in plain[::97]][:200])
    pc.set_module_ids_to_track([e["id"] for e in plain[5::113]][:150] + ids[:2])
    pc.set_module_names_to_zylate(["Linear"])
    pc.set_module_names_to_track(["LayerNorm", "Dropout"])


def framework_walks(net):
    """The framework calls get_module_entries must make, from a plain loop:
    named_modules once, each module's named_parameters own and whole, a
    numel() per parameter.  What they cost bounds get_module_entries."""
    for name, module in net.named_modules(remove_duplicate=False):
        if name == "":
            continue
        for recurse in (False, True):
            for _, parameter in module.named_parameters(recurse=recurse):
                parameter.numel()


NOTES = []


def note(text):
    if text not in NOTES:
        NOTES.append(text)


def median_ms(fn, repeat, clock=time.process_time, inner=1):
    """Median over `repeat` runs of the time of `inner` calls, per call."""
    times = []
    for _ in range(repeat):
        start = clock()
        for _ in range(inner):
            fn()
        times.append((clock() - start) * 1000.0 / inner)
    return statistics.median(times)


def visible(entries, expanded):
    return [e for e in entries if not e["in_replaced"] or expanded.get(e["replaced_root"])]


def loop_pass_stages(entries, expanded, repeat):
    """Each stage of one main-loop pass, timed on its own; the whole pass is
    their sum.  Until the Targets panel renderer lands, the three model
    summaries it draws on every frame stand in for it."""
    stages = {}
    state = {}

    def normalize():
        zylsetup.normalize_selection_conflicts()

    def resolve():
        state["resolved"] = zylsetup.resolve_entry_modes(entries)

    def vis():
        state["vis"] = visible(entries, expanded)

    def render():
        vis_entries = state["vis"]
        state["parts"] = zylsetup.render_targets_lines(
            entries, vis_entries, len(vis_entries) // 2, state["resolved"], expanded
        )

    def summaries():
        zylsetup.type_rule_entries(entries)
        zylsetup.unset_module_entries(entries, state["resolved"])
        zylsetup.build_budget_line(entries, state["resolved"])

    def compose():
        header, body, footer, focus = state["parts"]
        state["screen"], _ = zylsetup.compose_scrolling_screen(header, body, footer, 0, focus)

    def wrap():
        zylsetup.wrap_screen_text_for_terminal(state["screen"])

    plan = [("normalize", normalize, ()), ("resolve", resolve, ()), ("visible", vis, ())]
    if hasattr(zylsetup, "render_targets_lines"):
        plan.append(("render_targets", render, ()))
    else:
        note("render_targets_lines not landed: its model summaries (type_rule_entries, "
             "unset_module_entries, build_budget_line) stand in for it")
        plan.append(("summaries (render stand-in)", summaries, ()))
    if hasattr(zylsetup, "compose_scrolling_screen") and "render_targets" in dict.fromkeys(
        p[0] for p in plan
    ):
        plan.append(("compose", compose, ()))
        plan.append(("wrap", wrap, ()))
    else:
        note("compose_scrolling_screen/render_targets_lines not landed: compose skipped; "
             "wrap runs on the summaries' lines")

        def wrap_stand_in():
            if "screen" not in state:
                lines = [str(r) for r in zylsetup.type_rule_entries(entries)]
                lines.append(zylsetup.build_budget_line(entries, state["resolved"]))
                body = [e["id"] + "  " + str(e["type_name"]) for e in state["vis"][:37]]
                state["screen"] = "\n".join(lines[:3] + body)
            zylsetup.wrap_screen_text_for_terminal(state["screen"])

        plan.append(("wrap", wrap_stand_in, ()))

    for name, fn, _ in plan:
        fn()  # warm and fill `state` for the next stage
        stages[name] = median_ms(fn, repeat)
    return stages


def model_summaries(entries, repeat):
    resolved = zylsetup.resolve_entry_modes(entries)
    return {
        "type_rule_entries": median_ms(lambda: zylsetup.type_rule_entries(entries), repeat),
        "unset_module_entries": median_ms(
            lambda: zylsetup.unset_module_entries(entries, resolved), repeat),
        "build_budget_line": median_ms(
            lambda: zylsetup.build_budget_line(entries, resolved), repeat),
    }


class Processor:
    def pre(self, *args, **kwargs):
        if kwargs or len(args) != 1:
            return args, kwargs
        return args[0]

    def post(self, out):
        return out


class ZYLLayer(nn.Module):
    """A dendrite layer as the platform leaves it after training."""

    def __init__(self, main, dendrites, width):
        super().__init__()
        self.layer_array = nn.ModuleList(list(dendrites) + [main])
        self.processor_array = [None] * len(self.layer_array)
        n = len(self.layer_array)
        self.skip_weights = nn.ParameterList(
            [nn.Parameter(torch.randn(max(1, k), width) * 0.1) for k in range(n)]
        )
        self.register_buffer("node_index", torch.tensor(1))
        self.register_buffer("num_cycles", torch.tensor(2))
        self.register_buffer("view_tuple", torch.tensor([1, width]))


def dendrite_network(layers, width=8):
    net = nn.Sequential()
    for i in range(layers):
        net.add_module(f"l{i}", ZYLLayer(nn.Linear(width, width), [nn.Linear(width, width)], width))
    return net


def bench_conversion(rows):
    GZL.pc.set_modules_to_track([])
    nets = [dendrite_network(200) for _ in range(7)]
    it = iter(nets)
    rows.append(("refresh_net, 200 dendrite layers",
                 median_ms(lambda: zylstrip.refresh_net(next(it)), 7)))

    torch.manual_seed(0)
    layer = ZYLLayer(nn.Linear(64, 64), [nn.Linear(64, 64), nn.Linear(64, 64)], 64)
    converted = zylstrip.ZYLModulePyThread(layer)
    x = torch.randn(32, 64)
    mods = list(layer.layer_array)

    def direct():
        for m in mods:
            m(x)

    with torch.no_grad():
        for _ in range(50):
            converted(x)
            direct()
        base = median_ms(direct, 201, inner=20)
        plain = median_ms(lambda: converted(x), 201, inner=20)
        zylstrip.doing_threading = True
        try:
            threaded = median_ms(lambda: converted(x), 101, clock=time.perf_counter, inner=5)
        finally:
            zylstrip.doing_threading = False
    rows.append(("three Linear(64,64) called directly", base))
    rows.append(("converted layer forward, plain", plain))
    rows.append(("converted layer forward, threaded", threaded))
    rows.append(("  plain orchestration overhead", plain - base))
    rows.append(("  (threaded: wall time)", float("nan")))


def main():
    sizes = [1_000, 10_000, 50_000]
    if "--quick" in sys.argv:
        sizes = [1_000, 10_000]
    rows = []
    whole_at_10k = None
    for size in sizes:
        net = build_network(size)
        GZL.pc.set_modules_to_replace([ReplacedBlock])
        repeat = 15 if size <= 10_000 else 5
        entries = zylsetup.get_module_entries(net)
        n = len(entries)
        rows.append((f"[{n} modules] get_module_entries",
                     median_ms(lambda: zylsetup.get_module_entries(net), repeat)))
        rows.append((f"[{n} modules]   its framework calls alone, from a Python loop",
                     median_ms(lambda: framework_walks(net), repeat)))
        configure_targets(entries)
        roots = [e["id"] for e in entries if e["is_replaced_root"]]
        expanded = {r: True for r in roots[::2]}
        stages = loop_pass_stages(entries, expanded, repeat)
        whole = sum(stages.values())
        for name, ms in stages.items():
            rows.append((f"[{n} modules]   {name}", ms))
        rows.append((f"[{n} modules] whole loop pass", whole))
        for name, ms in model_summaries(entries, repeat).items():
            rows.append((f"[{n} modules]   (inside render) {name}", ms))
        if size == 10_000:
            whole_at_10k = whole

        buckets = zylsetup.load_description_data().get("bucket_order", [])
        every_bucket = {name: True for name in buckets}
        render_panel = getattr(zylsetup, "render_run_settings_lines", None)
        if render_panel is None:
            note("render_run_settings_lines not landed: run panel row times build_run_items only")

        def run_panel():
            items = zylsetup.build_run_items(every_bucket)
            if render_panel is not None:
                render_panel(items, 0, "")

        rows.append((f"[{n} modules] build_run_items + render_run_settings_lines",
                     median_ms(run_panel, repeat)))
    bench_conversion(rows)

    width = max(len(name) for name, _ in rows)
    switch = os.environ.get("ZYLORA_NO_FAST_PATHS", "")
    route = "fast paths" if switch in ("", "0") else f"plain route (ZYLORA_NO_FAST_PATHS={switch})"
    print(f"== {route}, torch {torch.__version__} ==")
    print(f"{'measurement':<{width}}  median ms")
    print("-" * (width + 11))
    for name, ms in rows:
        print(f"{name:<{width}}  {ms:9.3f}" if ms == ms else name)
    for text in NOTES:
        print(f"note: {text}")
    if whole_at_10k is not None:
        print(f"whole loop pass at 10,000 modules: {whole_at_10k:.2f} ms")


if __name__ == "__main__":
    main()
