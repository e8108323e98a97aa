// Fits a panel into the terminal height: header and footer whole, a window of
// the body around the focus, moved as little as possible between frames.
#include "prelude.hpp"

#include "checked_arithmetic.hpp"
#include "terminal.hpp"

#include <algorithm>

namespace zyl {

namespace {

using Index = long long;

// `start, end = focus`, with the interpreter's unpacking errors.  Window
// starts, focus lines, terminal lines and row counts come from the caller,
// the terminal or rebound functions: any integer is taken, and one beyond 64
// bits is held at the bound, where it compares with every real line count as
// the exact value does.
std::pair<Index, Index> unpack_focus(py::handle focus) {
    auto [start, end] = unpack_pair(focus);
    return {clamped_index(start), clamped_index(end)};
}

py::tuple compose_scrolling_screen(py::object header_lines, py::object body_lines, py::object footer_lines,
                                   py::object window_start_arg, py::object focus) {
    py::object size = call("terminal_size");
    py::object columns = size.attr("columns");
    const Index reserved = saturating_add(clamped_index(call("get_visual_line_count", header_lines, columns)),
                                          clamped_index(call("get_visual_line_count", footer_lines, columns)));
    const Index budget =
        std::max<Index>(1, saturating_sub(saturating_sub(clamped_index(size.attr("lines")), reserved), Index{3 + 2}));
    const Index total = py::len(body_lines);

    auto body_line = [&](Index index) {
        PyObject *line = PySequence_GetItem(body_lines.ptr(), static_cast<Py_ssize_t>(index));
        if (line == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(line);
    };
    // Measured afresh on every frame: a resize changes every height.
    auto rows_for = [&](py::handle line) {
        py::list one;
        one.append(line);
        return std::max<Index>(1, clamped_index(call("get_visual_line_count", one, columns)));
    };
    auto window_end_from = [&](Index start) {
        Index used = 0;
        Index end = start;
        while (end < total) {
            const Index height = rows_for(body_line(end));
            if (end > start && saturating_add(used, height) > budget) break;
            used = saturating_add(used, height);
            ++end;
        }
        return end;
    };
    auto window_start_for_end = [&](Index end) {
        Index used = 0;
        Index start = end;
        while (start > 0) {
            const Index height = rows_for(body_line(start - 1));
            if (saturating_add(used, height) > budget) break;
            used = saturating_add(used, height);
            --start;
        }
        return start;
    };

    Index window_start = clamped_index(window_start_arg);
    if (!focus.is_none()) {
        auto [focus_start, focus_end] = unpack_focus(focus);
        focus_start = std::max<Index>(std::min(focus_start, total), 0);
        focus_end = std::max(focus_start + 1, std::min(focus_end, total));
        // A focus at the very end of the body (an empty body) asks for a line
        // that does not exist; it asks for the end of the body instead.
        focus_end = std::min(focus_end, total);
        if (focus_start < window_start) window_start = focus_start;
        if (window_end_from(window_start) < focus_end) window_start = window_start_for_end(focus_end);
    }
    window_start = std::max<Index>(std::min(window_start, total), 0);
    Index window_end = window_end_from(window_start);
    if (window_end >= total) {
        window_start = std::min(window_start, window_start_for_end(total));
        window_end = total;
    }

    // A copy: the caller's header list is left as it was.
    PyObject *copy = PySequence_List(header_lines.ptr());
    if (copy == nullptr) throw py::error_already_set();
    auto shown = py::reinterpret_steal<py::list>(copy);
    if (window_start > 0) shown.append(call("dim", "  ^^^^ more above ^^^^"));
    for (Index index = window_start; index < window_end; ++index) shown.append(body_line(index));
    if (window_end < total) shown.append(call("dim", "  vvvv more below vvvv"));
    for (py::handle line : footer_lines) shown.append(line);
    return py::make_tuple(py::str("\n").attr("join")(shown), py::int_(window_start));
}

}  // namespace

void register_scrolling(py::module_ &m) {
    m.def("compose_scrolling_screen", &compose_scrolling_screen, "header_lines"_a, "body_lines"_a,
          "footer_lines"_a, "window_start"_a, "focus"_a = py::none());
}

}  // namespace zyl
