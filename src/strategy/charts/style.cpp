// The house style of the report figures and the Chinese face their titles need.
#include "strategy/charts/draw.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

// Faces with a true bold weight first, then faces that cover Chinese text,
// DejaVu Sans (matplotlib's own) last.
constexpr const char* kSansSerif[] = {
    "Helvetica Neue",      "Arial",  "PingFang SC",      "Noto Sans CJK SC", "Source Han Sans SC",
    "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans",
};

// A fresh machine has no Chinese face; this runtime dependency ships one of
// the list above (WenQuanYi Micro Hei) as its first face, which is the one
// matplotlib reads from a collection file.
constexpr const char* kFontPackage = "paperang_p2_fonts_cjk";
constexpr const char* kFontFile[] = {"fonts", "wqy-microhei.ttc"};

void register_chinese_face_once() {
    static bool done = false;  // guarded by the chart lock
    if (done) return;
    nb::object file;
    try {
        file = attr_of("importlib.resources", "files")(kFontPackage);
    } catch (nb::python_error& e) {
        // Installed without its dependencies: draw anyway, matplotlib warns of missing glyphs.
        if (!e.matches(PyExc_ImportError)) throw;
        done = true;
        return;
    }
    for (const char* part : kFontFile) file = file.attr("joinpath")(part);
    const nb::str path(file);
    nb::object fonts = import("matplotlib.font_manager");
    // The face comes in one weight. Listed for bold as well, it serves the
    // bold titles as it would anyway, without matplotlib logging a fallback
    // warning for every bold size.
    nb::object regular = fonts.attr("ttfFontProperty")(fonts.attr("get_font")(path));
    nb::object manager = fonts.attr("fontManager");
    manager.attr("ttflist").attr("append")(
        attr_of("dataclasses", "replace")(regular, "weight"_a = 700));
    manager.attr("addfont")(path);
    done = true;
}

}  // namespace

void configure_strategy_plot_style(nb::handle plt) {
    try {
        plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    } catch (nb::python_error& e) {
        // A matplotlib without the sheet still gets the settings below.
        if (!e.matches(PyExc_Exception)) throw;
    }
    nb::object rc = plt.attr("rcParams");
    nb::list fonts;
    for (const char* face : kSansSerif) fonts.append(face);
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    rc["axes.titleweight"] = "bold";
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = "#fbfbfd";
}

Pyplot begin_drawing() {
    attr_of("matplotlib", "use")("Agg");
    nb::object plt = import("matplotlib.pyplot");
    nb::object percent = attr_of("matplotlib.ticker", "PercentFormatter");
    register_chinese_face_once();
    configure_strategy_plot_style(plt);
    return {plt, percent};
}

}  // namespace mirtaly::strategy::charts
