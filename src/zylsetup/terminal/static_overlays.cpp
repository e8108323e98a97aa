// The fixed-text overlays: key help, the Targets legend and the quit question.
#include "prelude.hpp"

#include "terminal.hpp"
#include "text_pieces.hpp"

namespace zyl {

namespace {

using namespace text_pieces;

// Lines are built afresh at every call: callers own the list they get.
class Lines {
  public:
    Lines &blank() { return plain(""); }
    Lines &plain(const char *text) {
        lines_.append(py::str(text));
        return *this;
    }
    Lines &dimmed(const char *text) {
        lines_.append(dim(text));
        return *this;
    }
    Lines &pieces(std::initializer_list<py::handle> parts) {
        lines_.append(concat(parts));
        return *this;
    }
    py::list done() { return lines_; }

  private:
    py::list lines_;
};

py::list render_help_overlay() {
    auto p = [](const char *t) { return colored(t, global("COLOR_ZYLATE")); };
    auto tr = [](const char *t) { return colored(t, global("COLOR_TRACK")); };
    py::str indent2("  ");
    py::str indent3("   ");
    Lines out;
    out.blank()
        .pieces({indent2, colored("Keys", cursor_color)})
        .blank()
        .dimmed("  Targets screen")
        .plain("   p / t     zylate / track this module")
        .plain("   P / T     zylate / track every module of this type")
        .plain("   x         clear this module (falls back to its type rule)")
        .plain("   \u2192 / \u2190     expand / collapse a module that will be restructured (\u21af)")
        .plain("   y         show / hide the type-rules list")
        .plain("   h         show the marker & colour legend")
        .plain("   Enter     open Overrides for a zylated module")
        .blank()
        .dimmed("  Run settings screen")
        .plain("   \u2192 / \u2190     expand / collapse a bucket")
        .plain("   Enter     edit the highlighted setting")
        .plain("   h         describe the highlighted setting")
        .blank()
        .dimmed("  Everywhere")
        .plain("   \u2191\u2193 / jk   move        Tab  switch panel")
        .plain("   s         save & start training")
        .plain("   q         quit without configuring")
        .blank()
        .dimmed("  Modes")
        .pieces({indent3, p("zylate"), py::str(" = dendrites are added here during training")})
        .pieces({indent3, tr("track"),
                 py::str("     = no dendrites, the parameters are just counted")})
        .pieces({indent3, dim("\u21b3 inherited"),
                 py::str(" = a mode set on an ancestor applies to the whole subtree")})
        .pieces({indent3,
                 dim("(see the h legend on the Targets panel for how modes resolve)")})
        .blank()
        .pieces({colored("  ? or Esc to close", global("COLOR_ACCENT"))});
    return out.done();
}

py::list render_legend_overlay() {
    const char *full_blocks = "\u2588\u2588";
    py::object zylate_block = colored(full_blocks, global("COLOR_ZYLATE"));
    py::object track_block = colored(full_blocks, global("COLOR_TRACK"));
    py::object attention_block = colored(full_blocks, global("COLOR_ATTENTION"));
    py::str indent3("   ");
    py::str gap("     ");
    Lines out;
    out.blank()
        .pieces({py::str("  "), colored("Targets legend", cursor_color)})
        .blank()
        .dimmed("  Mode blocks")
        .pieces({indent3, zylate_block, py::str("        "),
                 colored("zylate", global("COLOR_ZYLATE")),
                 py::str(" \u2014 dendrites are added here during training")})
        .pieces({indent3, track_block, py::str("        "),
                 colored("track", global("COLOR_TRACK")),
                 py::str(" \u2014 no dendrites, the parameters are just counted")})
        .blank()
        .dimmed("  Marker prefixes")
        .pieces({py::str("   * "), zylate_block, gap,
                 py::str("mode set directly on this module (by id)")})
        .pieces({py::str("     "), zylate_block, gap,
                 py::str("set by type name \u2014 every module of this class")})
        .pieces({py::str("   \u21b3 "), zylate_block, gap,
                 py::str("inherited from an ancestor; applies to the whole subtree")})
        .pieces({py::str("   ! "), attention_block, gap,
                 py::str("has parameters but no mode \u2014 needs attention")})
        .plain("   \u21af         will be restructured for ZYL before training;")
        .plain("             target the modules inside it by type (P/T), not by id")
        .plain("   (none)    structural container with no parameters of its own")
        .blank()
        .dimmed("  Which mode wins  (highest priority first)")
        .plain("   1. inherited \u2014 a mode on an ancestor applies to its whole")
        .plain("      subtree; a mode set directly on a descendant is ignored")
        .plain("      while the ancestor's mode is in effect")
        .plain("   2. by id \u2014 a mode set on this exact module")
        .plain("   3. by type \u2014 a mode set on the module's class name")
        .plain("   So: inherited  >  by id  >  by type.")
        .blank()
        .pieces({colored("  h or Esc to close", global("COLOR_ACCENT"))});
    return out.done();
}

py::list render_quit_overlay() {
    Lines out;
    out.blank()
        .blank()
        .blank()
        .pieces({py::str("  "), colored("Quit without configuring?", cursor_color)})
        .blank()
        .dimmed("  Training will not start. Re-run to configure again, or set")
        .dimmed("  configuration_confirmed=True to skip this screen.")
        .blank()
        .pieces({py::str("  "), colored("[y] quit", global("COLOR_ATTENTION")), py::str("     "),
                 dim("[n] keep configuring")});
    return out.done();
}

}  // namespace

void register_static_overlays(py::module_ &m) {
    m.def("render_help_overlay", &render_help_overlay);
    m.def("render_legend_overlay", &render_legend_overlay);
    m.def("render_quit_overlay", &render_quit_overlay);
}

}  // namespace zyl
