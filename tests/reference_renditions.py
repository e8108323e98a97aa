"""The plain-Python renditions that the equivalence tests compare the native
code against: each is the work written out step by step, as the interpreter
would do it, and so the reference for both the fast and the plain route."""

from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup, zylstrip


# --- Configurator -----------------------------------------------------------

def reference_entries(model, classes):
    """The entries, computed step by step as the configurator's model of a
    network is defined."""
    entries = []
    for name, module in model.named_modules(remove_duplicate=False):
        if name == "":
            continue
        entries.append({
            "id": "." + name,
            "name": name,
            "type_name": type(module).__name__,
            "module": module,
            "depth": name.count("."),
            "direct_param_count": sum(p.numel() for _, p in module.named_parameters(recurse=False)),
            "tree_param_count": sum(p.numel() for _, p in module.named_parameters(recurse=True)),
        })
    classes = tuple(classes)
    roots = []
    for e in entries:
        e["is_replaced_root"] = bool(classes) and isinstance(e["module"], classes)
        if e["is_replaced_root"]:
            roots.append(e["id"])
    for e in entries:
        e["replaced_root"], e["in_replaced"] = None, False
        for root in roots:
            if e["id"].startswith(root + "."):
                e["replaced_root"], e["in_replaced"] = root, True
                break
    return entries


def reference_resolve(entries, pc):
    """Mode resolution step by step in plain Python, on the getters of `pc`."""

    def mode(item, zylate_getter, track_getter):
        if item in zylate_getter():
            return "zylated"
        if item in track_getter():
            return "tracked"
        return None

    out = {}
    ids = {e["id"] for e in entries}
    for e in entries:
        parent_id = zylsetup.get_parent_module_id(e["id"])
        parent = out.get(parent_id) if parent_id in ids else None
        own_id = mode(e["id"], pc.get_module_ids_to_zylate, pc.get_module_ids_to_track)
        own_type = mode(e["type_name"], pc.get_module_names_to_zylate, pc.get_module_names_to_track)
        own = own_id if own_id is not None else own_type
        source = "id" if own_id is not None else ("type" if own_type is not None else None)
        record = {"eff": None, "source": None, "origin_id": e["id"], "overridden": None}
        if parent is not None and parent["eff"] is not None:
            record.update(eff=parent["eff"], source="inherited", origin_id=parent["origin_id"])
            if own is not None:
                record["overridden"] = {"mode": own, "source": source}
        elif own is not None:
            record.update(eff=own, source=source)
        out[e["id"]] = record
    return out


def reference_budget_line(entries, resolved):
    """The budget line step by step, each module's parameters as its
    named_parameters(recurse=False) yields them now."""
    sums = {"total": [0, set()], "added": [0, set()]}

    def count(module, which):
        for _, parameter in module.named_parameters(recurse=False):
            if id(parameter) not in sums[which][1]:
                sums[which][1].add(id(parameter))
                sums[which][0] += parameter.numel()

    for e in entries:
        count(e["module"], "total")
        if resolved[e["id"]]["eff"] == "zylated":
            count(e["module"], "added")
    added, total = sums["added"][0], sums["total"][0]
    pct = 100.0 * added / total if total else 0.0
    return ("Zylation budget:  +" + zylsetup.format_human_count(added)
            + " params per dendrite cycle  \u00b7  model " + zylsetup.format_human_count(total)
            + "  (+" + format(pct, ".1f") + "% / cycle)")


def reference_rows(entries, shown, selected, resolved, expanded):
    """The rows as the pieces bound in the module now would draw them; ids
    and class names in the shown form of their ordinary text form, str()."""
    z = zylsetup
    rows = []
    for i, ent in enumerate(shown):
        cursor = z.color_text("> ", "E8EEEC") if i == selected else "  "
        indent = "  " * ent["depth"]
        record = resolved[ent["id"]]
        ent_id, type_name = z.shown_text(str(ent["id"])), z.shown_text(str(ent["type_name"]))
        if ent["is_replaced_root"]:
            count = sum(1 for e in entries if e["replaced_root"] == ent["id"])
            toggle = "[\u2190 collapse]" if expanded.get(ent["id"]) else "[\u2192 expand]"
            rows.append(cursor + z.color_text("\u21af", z.COLOR_ACCENT) + "   " + indent + ent_id + "  "
                        + z.dim("[" + type_name + "]") + "   "
                        + z.dim("will be restructured for ZYL before training"))
            rows.append("      " + z.dim(f"\u2514 {count} modules below \u2014 ids won't exist at train time "
                                         "\u00b7 target by type (P/T), not id  ")
                        + z.color_text(toggle, z.COLOR_ACCENT))
            continue
        display, plain = z.make_target_marker(ent, record)
        if ent["in_replaced"]:
            rows.append(cursor + display + " " + indent + z.dim(ent_id + "  [" + type_name + "] (id stale)"))
            continue
        lead = len(plain) + len(indent) + len(ent_id) + len(type_name) + 7
        row = cursor + display + " " + indent + ent_id + "  " + z.dim("[" + type_name + "]")
        row += " " * max(2, 46 - lead)
        count = ent["direct_param_count"]
        if record["eff"] is not None:
            row += z.color_text("mode=" + str(z.mode_verb(record["eff"])), z.get_color_hex_for_mode(record["eff"]))
            if record["source"] == "inherited":
                row += z.dim("  (via " + z.shown_text(str(record["origin_id"])) + ")")
                if record["overridden"] is not None:
                    row += z.dim("  \u2014 your " + str(z.mode_verb(record["overridden"]["mode"])) + " here is ignored")
        elif count > 0:
            row += z.color_text("needs a mode", z.COLOR_ATTENTION)
        if count > 0:
            row += z.dim("   params=" + str(z.format_human_count(count)))
        rows.append(row)
    return rows


# --- Conversion -------------------------------------------------------------

_walks = {}  # id(converted_list) -> {id(layer): (layer, converted)}


def reference_refresh_zyl(net, depth, name_so_far, converted_list):
    """The walk, step by step, as plain Python."""
    outermost = id(converted_list) not in _walks
    if outermost:
        _walks[id(converted_list)] = {}
    try:
        return _reference_level(net, depth, name_so_far, converted_list,
                                _walks[id(converted_list)])
    finally:
        if outermost:
            del _walks[id(converted_list)]


def _convert(layer, made):
    if id(layer) not in made:
        made[id(layer)] = (layer, zylstrip.make_module(layer))
    return made[id(layer)][1]


def _registered(net):
    try:
        return object.__getattribute__(net, "_modules")
    except AttributeError:
        return None


def _duplicate_notice():
    if GZL.pc.get_extra_verbose():
        print("this is only being called because something in your model is pointed to "
              "twice by two different variables.  Highest thing on the list is one of the "
              "duplicates")


def _reference_level(net, depth, name_so_far, converted_list, made):
    if GZL.pc.get_extra_verbose():
        print("CL calling convert on " + str(net) + " depth " + "%d" % depth)
        print("CL calling convert on " + name_so_far + ": " + type(net).__name__
              + ", depth " + "%d" % depth)
    if type(net) is zylstrip.ModuleType:
        _duplicate_notice()
        return net
    if id(net) in made:
        _duplicate_notice()
        return made[id(net)][1]
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
        def child_step(submodule_id):
            nonlocal converted_list
            if net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id, reference_refresh_zyl(
                    net.get_submodule(submodule_id), depth + 1,
                    name_so_far + "[" + str(submodule_id) + "]", converted_list))
            if type(net.get_submodule(submodule_id)).__name__ == "ZYLLayer":
                setattr(net, submodule_id, _convert(
                    zylstrip.get_pretrained_zyl_var(net, submodule_id), made))

        listed = []
        for submodule_id, layer in net.named_children():
            listed.append(submodule_id)
            child_step(submodule_id)
        for name in list(_registered(net)):
            if name not in listed and isinstance(_registered(net).get(name), nn.Module):
                child_step(name)
    else:
        if type(net) in GZL.pc.get_modules_to_track():
            return net

        def member_step(member):
            nonlocal converted_list
            if isinstance(getattr(type(net), member, None), property):
                return
            try:
                value = getattr(net, member, None)
            except Exception:
                return
            sub_name = name_so_far + "." + member
            if member == "device" or member == "dtype":
                return
            if sub_name in GZL.pc.get_module_names_to_not_save():
                return
            if name_so_far == "" and sub_name in converted_list:
                if GZL.pc.get_extra_verbose():
                    print("Skipping %s during save" % sub_name)
                return
            if issubclass(type(value), nn.Module) or member == "layer_array":
                converted_list += [sub_name]
                if net != getattr(net, member):
                    setattr(net, member, reference_refresh_zyl(
                        getattr(net, member), depth + 1, sub_name, converted_list))
            if type(getattr(net, member, None)).__name__ == "ZYLLayer":
                setattr(net, member, _convert(zylstrip.get_pretrained_zyl_attr(net, member), made))

        listed = set()
        for member in all_members:
            listed.add(member)
            member_step(member)
        if isinstance(_registered(net), dict):
            for name in list(_registered(net)):
                if name not in listed:
                    member_step(name)
    if type(net).__name__ == "ZYLLayer":
        net = _convert(net, made)
    return net


def reference_process_and_forward(self, *args2, **kwargs2):
    c, dendrite_outs, args2 = args2[0], args2[1], args2[2:]
    if self.processor_array[c] != None:  # noqa: E711 - the comparison itself is part of the pass
        args2, kwargs2 = self.processor_array[c].pre(*args2, **kwargs2)
    out_values = self.layer_array[c](*args2, **kwargs2)
    if self.processor_array[c] != None:  # noqa: E711
        out = self.processor_array[c].post(out_values)
    else:
        out = out_values
    dendrite_outs[c] = out


def reference_process_and_pre(self, *args, **kwargs):
    dendrite_outs, args = args[0], args[1:]
    out = self.layer_array[-1].forward(*args, **kwargs)
    if self.processor_array[-1] != None:  # noqa: E711
        out = self.processor_array[-1].pre(out)
    dendrite_outs[len(self.layer_array) - 1] = out


def reference_forward(self, *args, **kwargs):
    """The converted layer's forward pass, step by step, as plain Python."""
    n = len(self.layer_array)
    dendrite_outs = [None] * n
    for c in range(n - 1):
        reference_process_and_forward(self, c, dendrite_outs, *args, **kwargs)
    reference_process_and_pre(self, dendrite_outs, *args, **kwargs)
    return reference_combine(self, dendrite_outs, n)


def reference_combine(self, dendrite_outs, n):
    """The end of the forward pass over the `n` outputs: joined by the skip
    weights (the layer list is not read again: watching tests count reads)."""
    for out_index in range(n):
        current_out = dendrite_outs[out_index]
        if n > 1 and hasattr(self, "skip_weights"):
            for in_index in range(out_index):
                skip_weight = self.skip_weights[out_index - 1][in_index, :]
                skip_weight = skip_weight.view(self.view_tuple.tolist())
                current_out = current_out + skip_weight.to(current_out.device) * dendrite_outs[in_index]
            if out_index < n - 1:
                current_out = GZL.pc.get_zyl_forward_function()(current_out)
        dendrite_outs[out_index] = current_out
    if self.processor_array[-1] != None:  # noqa: E711
        current_out = self.processor_array[-1].post(current_out)
    return current_out
