// The walk that converts a trained network: every dendrite layer it reaches
// is replaced, on its parent and under the same name, by a ModuleType
// (ZYLModulePyThread) built from it.  The walk makes its calls through the
// interpreter step by step (`!=`, `in`, `+=`, getattr, setattr), so that
// whatever the network's classes define is honoured; it runs once per
// conversion, where nobody waits on it.
//
// A layer can stand in more than one place: repeated in a container (whose
// named_children() lists it once), tied to two attributes, or under a name
// that __dir__ leaves out (a name starting with a digit).  Each distinct
// layer is converted once per walk, and every place that held it is given
// that one converted module.
#include "prelude.hpp"

#include "fast_paths.hpp"
#include "zylstrip.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zyl {

namespace {

struct WalkTexts {
    py::str pc = interned("pc"), nn = interned("nn"), module = interned("Module"),
            sequential = interned("Sequential"), module_list = interned("ModuleList"),
            module_type = interned("ModuleType"), extra_verbose = interned("get_extra_verbose"),
            to_track = interned("get_modules_to_track"),
            not_to_save = interned("get_module_names_to_not_save"), dir = interned("__dir__"),
            named_children = interned("named_children"), get_submodule = interned("get_submodule"),
            modules = interned("_modules"), name_attr = interned("__name__"), dot = interned("."),
            empty = interned(""), open = interned("["), close = interned("]"),
            dendrite_class = interned("ZYLLayer"),
            refresh_zyl = interned("refresh_zyl"), make_module = interned("make_module"),
            get_attr = interned("get_pretrained_zyl_attr"),
            get_var = interned("get_pretrained_zyl_var");
};

const WalkTexts &texts() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<WalkTexts> storage;
    return storage.call_once_and_store_result([] { return WalkTexts(); }).get_stored();
}

py::object type_of(py::handle obj) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())));
}

// format % args
py::object percent(const char *format, py::handle args) {
    return owned(PyNumber_Remainder(py::str(format).ptr(), args.ptr()));
}

// A module-level function, looked up by name now and called.
template <typename... Args>
py::object call_global(const py::str &name, Args &&...args) {
    return ns().attr(name)(std::forward<Args>(args)...);
}

py::object run_config() { return global("GZL").attr(texts().pc); }

bool extra_verbose() { return truthy(call_method(run_config(), texts().extra_verbose)); }

// type(obj).__name__ == "ZYLLayer".  For a class whose metaclass is `type`
// itself the name is what type's own __name__ gives, and tp_name always
// spells it (the whole of it for a class made at run time, the part after
// the last dot for a built-in one), so then no text object is made: most
// members the walk tests are bound methods.
bool is_dendrite_layer(py::handle obj) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (fast_paths_enabled() && Py_IS_TYPE(reinterpret_cast<PyObject *>(type), &PyType_Type)) {
        const char *name = type->tp_name;
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
            if (const char *dot = std::strrchr(name, '.')) name = dot + 1;
        }
        return std::strcmp(name, "ZYLLayer") == 0;
    }
    return equals(type_of(obj).attr(texts().name_attr), texts().dendrite_class);
}

// The layers one walk has converted, by identity, each with the module made
// from it.  A walk is one converted_list: refresh_net makes a new one, and
// every level of the walk is handed the same one.  Originals are held so
// that their addresses cannot be reused while the walk runs.
struct Conversions {
    PyObject *walk = nullptr;  // the converted_list
    std::unordered_map<PyObject *, std::pair<py::object, py::object>> made;
};

std::vector<Conversions *> &active_walks() {
    static std::vector<Conversions *> walks;
    return walks;
}

// Joins the walk of `converted_list`, or starts it when this is its
// outermost level.
class WalkScope {
public:
    explicit WalkScope(py::handle converted_list) {
        for (Conversions *walk : active_walks()) {
            if (walk->walk == converted_list.ptr()) {
                conversions_ = walk;
                return;
            }
        }
        own_.walk = converted_list.ptr();
        conversions_ = &own_;
        active_walks().push_back(&own_);
    }
    ~WalkScope() {
        if (conversions_ != &own_) return;
        auto &walks = active_walks();
        walks.erase(std::remove(walks.begin(), walks.end(), &own_), walks.end());
    }
    WalkScope(const WalkScope &) = delete;
    WalkScope &operator=(const WalkScope &) = delete;

    // The module already made from `layer` in this walk, or a null object.
    py::object converted(py::handle layer) const {
        auto found = conversions_->made.find(layer.ptr());
        return found == conversions_->made.end() ? py::object() : found->second.second;
    }

    // make_module(layer), once per layer and walk.
    py::object convert(py::handle layer) {
        if (py::object done = converted(layer)) return done;
        py::object made = call_global(texts().make_module, layer);
        conversions_->made.emplace(layer.ptr(), std::make_pair(py::reinterpret_borrow<py::object>(layer), made));
        return made;
    }

private:
    Conversions own_;
    Conversions *conversions_ = nullptr;
};

// converted_list is shared by every level and only ever extended in place.
void record(py::handle converted_list, py::handle name) {
    py::list one;
    one.append(name);
    owned(PyNumber_InPlaceAdd(converted_list.ptr(), one.ptr()));
}

// name_so_far + "[" + str(id) + "]"
py::object element_name(py::handle name_so_far, py::handle id) {
    const WalkTexts &t = texts();
    return name_so_far + t.open + py::str(id) + t.close;
}

py::object next_depth(py::handle depth) { return depth + py::int_(1); }

py::object refresh(py::handle net, py::handle depth, py::handle name, py::handle list) {
    return call_global(texts().refresh_zyl, net, depth, name, list);
}

// The names and children that `net` registered, each place on its own:
// named_children() lists a repeated module only once, and __dir__ leaves
// out names that start with a digit.  Read as object.__getattribute__ reads
// it, so a class watching its own attribute reads sees none made for this.
py::object registered(py::handle net) {
    PyObject *modules = PyObject_GenericGetAttr(net.ptr(), texts().modules.ptr());
    if (modules != nullptr) return py::reinterpret_steal<py::object>(modules);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

// --- one level per module ----------------------------------------------------
//
// refresh_zyl's steps on one module, with the refresh_zyl call it makes for
// each child in between, form a level.  Where that call would run this very
// function, the child gets a level of its own on an explicit stack instead
// of a nested call, so a network of any depth is walked in a fixed amount
// of C stack; a rebound refresh_zyl is called through its name as always.

// The call refresh_zyl(net, depth, name_so_far, converted_list) that a level
// makes for one child, converted_list being the walk's own.
struct ChildCall {
    py::object net, depth, name_so_far;
};

// What every level of one walk shares.
struct Walk {
    py::handle converted_list;
    WalkScope &scope;
};

class Level {
public:
    Level(Walk &walk, py::object net, py::object depth, py::object name_so_far)
        : walk(walk), net(std::move(net)), depth(std::move(depth)),
          name_so_far(std::move(name_so_far)) {}
    virtual ~Level() = default;
    Level(const Level &) = delete;
    Level &operator=(const Level &) = delete;

    // Runs the module's steps up to its next child call, handed out in
    // `call`, or to their end (false).
    bool next(ChildCall &call) {
        while (next_place()) {
            if (enter(call)) return true;
            replace_layer();
        }
        return false;
    }

    // Goes on from that call with what it returned.
    void resume(py::handle result) {
        put_back(result);
        replace_layer();
    }

    // Step 6: the module that stands in net's place.
    py::object finish() {
        if (is_dendrite_layer(net)) return walk.scope.convert(net);
        return net;
    }

protected:
    // Moves on to the next child or member; false when there is none.
    virtual bool next_place() = 0;
    // Its steps up to the refresh_zyl call: whether the call is made.
    virtual bool enter(ChildCall &call) = 0;
    // The call's result, assigned to the place it was made for.
    virtual void put_back(py::handle result) = 0;
    // The place's last step: a dendrite layer standing there is replaced.
    virtual void replace_layer() = 0;

    Walk &walk;
    py::object net, depth, name_so_far;
};

// Where a level looks for children: first the names an iterator lists
// (named_children() of a container, __dir__ of any other module), then the
// names of the registered children, copied as they stand once the iterator
// is done.
class Places {
public:
    explicit Places(py::object listing) : listing_(std::move(listing)) {}

    // The next name the iterator lists, or a null object once it is done
    // and the registered names have been taken.
    py::object listed(py::handle net) {
        if (!listing_) return py::object();
        if (PyObject *next = PyIter_Next(listing_.ptr())) return py::reinterpret_steal<py::object>(next);
        if (PyErr_Occurred()) throw py::error_already_set();
        listing_ = py::object();
        py::object modules = registered(net);
        if (PyDict_Check(modules.ptr())) names_ = py::list(modules);
        return py::object();
    }

    // The next registered name, or a null object.
    py::object registered_name() {
        // names_ is this walk's own copy: no user code has held it.
        if (!names_ || next_ >= PyList_GET_SIZE(names_.ptr())) return py::object();
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(names_.ptr(), next_++));
    }

    void stop() { names_ = py::object(); }

private:
    py::object listing_;
    py::object names_;
    Py_ssize_t next_ = 0;
};

// 4a and 4b for the children of an nn.Sequential or nn.ModuleList, as
// named_children() lists them; then for the places that hold a child it
// listed already.
class ContainerLevel final : public Level {
public:
    ContainerLevel(Walk &walk, py::object net, py::object depth, py::object name_so_far)
        : Level(walk, std::move(net), std::move(depth), std::move(name_so_far)),
          places_(owned(PyObject_GetIter(call_method(this->net, texts().named_children).ptr()))) {}

private:
    bool next_place() override {
        if (py::object child = places_.listed(net)) {
            id_ = unpack_pair(child).first;
            listed_.append(id_);
            return true;
        }
        if (!module_class_) module_class_ = global("nn").attr(texts().module);
        while (py::object name = places_.registered_name()) {
            if (contains(listed_, name)) continue;
            // Another place of a child listed above; an empty slot holds None.
            py::object now = registered(net);
            if (!PyDict_Check(now.ptr())) break;
            PyObject *found = PyDict_GetItemWithError(now.ptr(), name.ptr());
            if (found == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;
            }
            if (!is_instance(py::reinterpret_borrow<py::object>(found), module_class_)) continue;
            id_ = name;
            return true;
        }
        places_.stop();
        return false;
    }

    // 4a up to its call: whether the child is entered.
    bool enter(ChildCall &call) override {
        const WalkTexts &t = texts();
        if (!not_equal(net, call_method(net, t.get_submodule, id_))) return false;
        record(walk.converted_list, element_name(name_so_far, id_));
        call.net = call_method(net, t.get_submodule, id_);
        call.depth = next_depth(depth);
        call.name_so_far = element_name(name_so_far, id_);
        return true;
    }

    void put_back(py::handle result) override { set_attr(net, id_, result); }

    // 4b
    void replace_layer() override {
        const WalkTexts &t = texts();
        if (is_dendrite_layer(call_method(net, t.get_submodule, id_))) {
            py::object layer = call_global(t.get_var, net, id_);
            set_attr(net, id_, walk.scope.convert(layer));
        }
    }

    Places places_;
    py::list listed_;
    py::object module_class_;
    py::object id_;  // the child whose steps are under way
};

// A plain list (a layer_array held as a list, for one) has no
// named_children(): its elements are walked by index instead, with the same
// "[i]" path names, and dendrite layers in it are replaced in place.  Only
// modules and nested lists are entered, as named_children() yields only
// modules.
class ListLevel final : public Level {
public:
    ListLevel(Walk &walk, py::object net, py::object depth, py::object name_so_far)
        : Level(walk, std::move(net), std::move(depth), std::move(name_so_far)),
          module_class_(global("nn").attr(texts().module)) {}

private:
    bool next_place() override {
        if (position_ >= length_of(net)) return false;
        index_ = py::int_(position_++);
        return true;
    }

    bool enter(ChildCall &call) override {
        py::object element = item(net, index_);
        const bool enters = is_instance(element, module_class_) || PyList_Check(element.ptr()) != 0;
        if (!enters || element.is(net)) return false;
        py::object sub_name = element_name(name_so_far, index_);
        record(walk.converted_list, sub_name);
        call.net = element;
        call.depth = next_depth(depth);
        call.name_so_far = sub_name;
        return true;
    }

    void put_back(py::handle result) override { set_item(net, index_, result); }

    void replace_layer() override {
        py::object current = item(net, index_);
        if (is_dendrite_layer(current)) set_item(net, index_, walk.scope.convert(current));
    }

    py::object module_class_;
    Py_ssize_t position_ = 0;
    py::object index_;
};

// 5b to 5h for the members of any other module: those __dir__ lists, then
// the registered children it leaves out.  GZL.pc is the same object at
// every lookup and nn.Module is looked up once per module, as
// name_so_far + "." is made once when adding plain texts runs nothing.
class MemberLevel final : public Level {
public:
    MemberLevel(Walk &walk, py::object net, py::object depth, py::object name_so_far,
                py::handle all_members)
        : Level(walk, std::move(net), std::move(depth), std::move(name_so_far)),
          cls_(type_of(this->net)),
          config_(run_config()),
          module_class_(global("nn").attr(texts().module)),
          plain_name_(PyUnicode_CheckExact(this->name_so_far.ptr()) != 0),
          root_(plain_name_ && equals(this->name_so_far, texts().empty)),
          prefix_(plain_name_ ? owned(PyUnicode_Concat(this->name_so_far.ptr(), texts().dot.ptr()))
                              : py::object()),
          places_(owned(PyObject_GetIter(all_members.ptr()))) {}

private:
    bool next_place() override {
        if (py::object member = places_.listed(net)) {
            if (PySet_Add(listed_.ptr(), member.ptr()) < 0) PyErr_Clear();  // an unhashable name
            member_ = std::move(member);
            return true;
        }
        while (py::object name = places_.registered_name()) {
            if (PySet_Contains(listed_.ptr(), name.ptr()) == 1) continue;
            if (PyErr_Occurred()) throw py::error_already_set();
            member_ = std::move(name);
            return true;
        }
        return false;
    }

    // name_so_far == ""
    bool at_root() const { return plain_name_ ? root_ : equals(name_so_far, texts().empty); }

    // name_so_far + "." + member
    py::object path(py::handle member) const {
        if (prefix_ && PyUnicode_CheckExact(member.ptr())) {
            return owned(PyUnicode_Concat(prefix_.ptr(), member.ptr()));
        }
        return name_so_far + texts().dot + member;
    }

    // 5b to 5g up to the call of 5g: whether the member is entered.
    bool enter(ChildCall &call) override {
        const WalkTexts &t = texts();
        skipped_ = true;
        py::handle property_type = reinterpret_cast<PyObject *>(&PyProperty_Type);
        // A property is never read on the instance: reading it may compute
        // or fail.
        if (is_instance(getattr_or_none(cls_, member_), property_type)) return false;
        py::object value;
        try {
            value = getattr_or_none(net, member_);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return false;
        }
        py::object sub_name = path(member_);
        if (equals_ascii(member_, "device") || equals_ascii(member_, "dtype")) return false;
        if (contains(call_method(config_, t.not_to_save), sub_name)) return false;
        if (at_root() && contains(walk.converted_list, sub_name)) {
            if (extra_verbose()) zyl::print(percent("Skipping %s during save", sub_name));
            return false;
        }
        skipped_ = false;
        if (is_subclass(type_of(value), module_class_) || equals_ascii(member_, "layer_array")) {
            record(walk.converted_list, sub_name);
            if (not_equal(net, net.attr(member_))) {
                call.net = net.attr(member_);
                call.depth = next_depth(depth);
                call.name_so_far = sub_name;
                return true;
            }
        }
        return false;
    }

    void put_back(py::handle result) override { set_attr(net, member_, result); }

    // 5h, for a member that 5b to 5f did not skip.
    void replace_layer() override {
        if (skipped_) return;
        if (is_dendrite_layer(getattr_or_none(net, member_))) {
            py::object layer = call_global(texts().get_attr, net, member_);
            set_attr(net, member_, walk.scope.convert(layer));
        }
    }

    py::object cls_, config_, module_class_;
    bool plain_name_, root_;
    py::object prefix_;
    Places places_;
    py::set listed_;
    py::object member_;  // the member whose steps are under way
    bool skipped_ = true;
};

void duplicate_notice() {
    if (extra_verbose()) {
        zyl::print("this is only being called because something in your model is pointed to "
                   "twice by two different variables.  Highest thing on the list is one of the "
                   "duplicates");
    }
}

// Steps 1 to 5a on `net`: the module that stands in its place when they end
// the call, or a null object with the level that walks its children.
py::object begin(Walk &walk, py::object net, py::object depth, py::object name_so_far,
                 std::unique_ptr<Level> &level) {
    const WalkTexts &t = texts();
    if (extra_verbose()) {
        py::object depth_text = percent("%d", py::make_tuple(depth));
        zyl::print(py::str("CL calling convert on ") + py::str(net) + py::str(" depth ") + depth_text);
        zyl::print(py::str("CL calling convert on ") + name_so_far + py::str(": ") +
                   type_of(net).attr(t.name_attr) + py::str(", depth ") + depth_text);
    }
    if (type_of(net).is(global("ModuleType"))) {
        duplicate_notice();
        return net;
    }
    // A layer met again: it was converted where this walk met it first.
    if (py::object done = walk.scope.converted(net)) {
        duplicate_notice();
        return done;
    }
    py::object all_members = call_method(net, t.dir);

    py::object cls = type_of(net);
    py::object nn = global("nn");
    if (is_subclass(cls, nn.attr(t.sequential)) || is_subclass(cls, nn.attr(t.module_list))) {
        level = std::make_unique<ContainerLevel>(walk, net, depth, name_so_far);
    } else if (is_subclass(cls, reinterpret_cast<PyObject *>(&PyList_Type))) {
        level = std::make_unique<ListLevel>(walk, net, depth, name_so_far);
    } else if (contains(call_method(run_config(), t.to_track), type_of(net))) {
        // A tracked class is left as it is, unentered.
        return net;
    } else {
        level = std::make_unique<MemberLevel>(walk, net, depth, name_so_far, all_members);
    }
    return py::object();
}

// The levels of one call stand for nested calls: as many as the
// interpreter's recursion limit allows, as a walk in Python could nest.
void check_depth(std::size_t levels) {
    if (levels >= static_cast<std::size_t>(Py_GetRecursionLimit())) raise_recursion_error();
}

py::object refresh_zyl(py::object net, py::object depth, py::object name_so_far,
                       py::object converted_list) {
    // This call nests on the C stack only when a rebound refresh_zyl calls
    // back into it.
    RecursionGuard guard;
    WalkScope scope(converted_list);
    Walk walk{converted_list, scope};
    std::vector<std::unique_ptr<Level>> levels;
    std::unique_ptr<Level> level;
    py::object result = begin(walk, std::move(net), std::move(depth), std::move(name_so_far), level);
    if (level) levels.push_back(std::move(level));
    while (!levels.empty()) {
        Level &top = *levels.back();
        if (result) top.resume(std::exchange(result, py::object()));
        ChildCall call;
        if (!top.next(call)) {
            result = top.finish();
            levels.pop_back();
            continue;
        }
        if (py::object rebound = rebound_or_own<&refresh_zyl>("refresh_zyl")) {
            result = rebound(call.net, call.depth, call.name_so_far, converted_list);
            continue;
        }
        check_depth(levels.size());
        result = begin(walk, std::move(call.net), std::move(call.depth), std::move(call.name_so_far), level);
        if (level) levels.push_back(std::move(level));
    }
    return result;
}

py::object refresh_net(py::object pretrained_dendrite) {
    return refresh(pretrained_dendrite, py::int_(0), py::str(""), py::list());
}

py::object make_module(py::object module) { return global("ModuleType")(module); }

py::object get_pretrained_zyl_attr(py::object pretrained_dendrite, py::object member) {
    if (pretrained_dendrite.is_none()) return py::none();
    return pretrained_dendrite.attr(member);
}

py::object get_pretrained_zyl_var(py::object pretrained_dendrite, py::object submodule_id) {
    if (pretrained_dendrite.is_none()) return py::none();
    return call_method(pretrained_dendrite, texts().get_submodule, submodule_id);
}

}  // namespace

void register_conversion_walk(py::module_ &m) {
    m.def("get_pretrained_zyl_attr", &get_pretrained_zyl_attr, "pretrained_dendrite"_a, "member"_a,
          "getattr(pretrained_dendrite, member), or None when pretrained_dendrite is None.");
    m.def("get_pretrained_zyl_var", &get_pretrained_zyl_var, "pretrained_dendrite"_a,
          "submodule_id"_a,
          "pretrained_dendrite.get_submodule(submodule_id), or None when pretrained_dendrite "
          "is None.");
    m.attr("ModuleType") = m.attr("ZYLModulePyThread");
    m.attr("doing_threading") = false;
    m.def("make_module", &make_module, "module"_a,
          "A new ModuleType (ZYLModulePyThread) built from the dendrite layer `module`.");
    zyl::def<&refresh_zyl>(m, "refresh_zyl", "net"_a, "depth"_a, "name_so_far"_a, "converted_list"_a,
          "Convert net's subtree in place; returns the module that stands in net's place.");
    m.def("refresh_net", &refresh_net, "pretrained_dendrite"_a,
          "Replace every dendrite layer of a trained network by a ZYLModulePyThread; returns "
          "the network (a new module when the root itself is a dendrite layer).");
}

}  // namespace zyl
