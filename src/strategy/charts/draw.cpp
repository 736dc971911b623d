#include "strategy/charts/draw.hpp"

#include <algorithm>

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

// Cleanup on the way out of a failed drawing must not replace the error
// that caused it; its own failure is reported as unraisable instead.
template <class Fn>
void without_raising(Fn&& fn) noexcept {
    try {
        fn();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("while cleaning up after a chart");
    } catch (...) {
    }
}

}  // namespace

PlotLock::PlotLock() : lock_(attr_of(kModule, "_MATPLOTLIB_PLOT_LOCK")) {
    // RLock.acquire lets other threads run while it waits.
    lock_.attr("acquire")();
    // A closed figure is a web of reference cycles that keeps its pixel buffer
    // (tens of MB) until the next full collection, and a long-lived worker
    // piles several up. Objects older than the drawing are set aside, so that
    // collecting on the way out looks at the drawing's objects only and costs
    // about what freeing them does. Left alone when the caller froze objects
    // itself (unfreezing would undo theirs) or turned collection off.
    try {
        nb::object gc = nb::module_::import_("gc");
        if (nb::cast<bool>(gc.attr("isenabled")()) &&
            nb::cast<long>(gc.attr("get_freeze_count")()) == 0) {
            gc.attr("freeze")();
            gc_ = std::move(gc);
        }
    } catch (...) {
        without_raising([&] { lock_.attr("release")(); });
        throw;
    }
}

PlotLock::~PlotLock() {
    if (gc_.is_valid()) {
        without_raising([&] { gc_.attr("collect")(); });
        without_raising([&] { gc_.attr("unfreeze")(); });
    }
    without_raising([&] { lock_.attr("release")(); });
}

namespace {

nb::list list_of(const std::vector<double>& values) {
    nb::list out;
    for (double v : values) out.append(v);
    return out;
}

}  // namespace

Figure::Figure(const Pyplot& py, const Page& page) : page_(page), plt_(py.plt) {
    fig_ = plt_.attr("figure")("figsize"_a = nb::make_tuple(page.width, page.height),
                               "constrained_layout"_a = false);
    // Set before the panels exist, so that they can measure their final size.
    if (!page.margins_on_grid) {
        const Margins& m = page.margins;
        fig_.attr("subplots_adjust")("left"_a = m.left, "right"_a = m.right, "top"_a = m.top,
                                     "bottom"_a = m.bottom);
    }
    nb::dict options;
    options["height_ratios"] = list_of(page.height_ratios);
    if (!page.width_ratios.empty()) options["width_ratios"] = list_of(page.width_ratios);
    options["hspace"] = page.hspace;
    if (page.wspace) options["wspace"] = *page.wspace;
    if (page.margins_on_grid) {
        options["left"] = page.margins.left;
        options["right"] = page.margins.right;
        options["top"] = page.margins.top;
        options["bottom"] = page.margins.bottom;
    }
    grid_ = fig_.attr("add_gridspec")(page.height_ratios.size(), page.columns, **options);
}

nb::object Figure::panel(const Cell& cell, nb::handle sharex) const {
    nb::object spec = grid_[nb::make_tuple(cell.row, nb::slice(cell.first, cell.last))];
    if (sharex) return fig_.attr("add_subplot")(spec, "sharex"_a = sharex);
    return fig_.attr("add_subplot")(spec);
}

Figure::~Figure() {
    if (open_) without_raising([&] { plt_.attr("close")(fig_); });
}

void Figure::title(const std::string& text, double size, double y) const {
    fig_.attr("suptitle")(text, "fontsize"_a = size, "fontweight"_a = "bold",
                          "color"_a = colour::kBenchmark, "y"_a = y);
}

void Figure::save_and_close(nb::handle path) {
    nb::dict options;
    options["dpi"] = page_.dpi;
    options["facecolor"] = fig_.attr("get_facecolor")();
    // The fastest zlib level: the same pixels for a fifth more bytes, where the
    // default level spends about a third of the compression time.
    nb::object suffix = attr_of("os.path", "splitext")(attr_of("os", "fspath")(path))[1];
    if (suffix.attr("lower")().equal(nb::str(".png"))) {
        nb::dict pil;
        pil["compress_level"] = 1;
        options["pil_kwargs"] = pil;
    }
    fig_.attr("savefig")(path, **options);
    open_ = false;
    plt_.attr("close")(fig_);
}

FigureArgs figure_args(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                       nb::handle save_path, nb::handle image_kind, nb::handle benchmark_name) {
    require_dataframe(total, "total");
    require_str(strategy_name, "strategy_name");
    require_str(plot_title, "plot_title", /*allow_none=*/true);
    require_str(image_kind, "image_kind");
    require_str(benchmark_name, "benchmark_name");
    require_path_like(save_path, "save_path");

    const bool titled = !plot_title.is_none() && nb::len(plot_title) > 0;
    return {nb::borrow(total), nb::cast<std::string>(titled ? plot_title : strategy_name),
            nb::cast<std::string>(benchmark_name), nb::cast<std::string>(image_kind) != "large",
            nb::borrow(save_path)};
}

nb::object array_of(std::span<const double> values) { return float_array_from(values); }

void percent_axis(const Pyplot& py, nb::handle ax) {
    ax.attr("yaxis").attr("set_major_formatter")(py.percent_formatter(1.0));
}

void horizontal_line(nb::handle ax, double y, double width) {
    ax.attr("axhline")(y, "color"_a = colour::kZeroLine, "linewidth"_a = width);
}

void house_grid(nb::handle ax) {
    ax.attr("grid")(true, "color"_a = colour::kGrid, "linewidth"_a = 0.75, "alpha"_a = 0.84);
    nb::object spines = ax.attr("spines");
    for (const char* side : {"top", "right"}) spines[side].attr("set_visible")(false);
}

void drawdown_twin(nb::handle twin, double label_size) {
    twin.attr("set_ylabel")("Drawdown", "fontsize"_a = label_size);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
}

void legend(nb::handle ax, std::initializer_list<nb::handle> sources, const char* loc,
            double font_size, int ncol) {
    nb::list handles, labels;
    for (nb::handle source : sources) {
        nb::object pair = source.attr("get_legend_handles_labels")();
        handles.extend(pair[0]);
        labels.extend(pair[1]);
    }
    nb::dict options;
    options["loc"] = loc;
    options["frameon"] = true;
    options["framealpha"] = kLegendAlpha;
    if (font_size > 0.0) options["fontsize"] = font_size;
    if (ncol != 1) options["ncol"] = ncol;
    ax.attr("legend")(handles, labels, **options);
}

void centre_note(nb::handle ax, const char* text) {
    ax.attr("text")(0.5, 0.5, text, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                    "va"_a = "center");
}

void draw_table(nb::handle ax, const TableSpec& spec) {
    nb::list cells;
    for (const auto& row : *spec.rows) {
        nb::list texts;
        for (const auto& text : row) texts.append(text);
        cells.append(texts);
    }
    nb::list labels, widths;
    for (const char* label : spec.labels) labels.append(label);
    for (double width : spec.widths) widths.append(width);
    nb::object table =
        ax.attr("table")("cellText"_a = cells, "colLabels"_a = labels, "loc"_a = "center",
                         "cellLoc"_a = spec.align, "colLoc"_a = spec.align, "colWidths"_a = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(spec.font_size);
    table.attr("scale")(1.0, spec.row_scale);

    // A row holding several lines of text grows to fit them.
    std::vector<int> lines(spec.rows->size() + 1, 1);
    for (std::size_t r = 0; r < spec.rows->size(); ++r)
        for (const auto& text : (*spec.rows)[r])
            lines[r + 1] = std::max(
                lines[r + 1], 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n')));

    for (auto [key, cell] : nb::cast<nb::dict>(table.attr("get_celld")())) {
        const int r = nb::cast<int>(key[0]), c = nb::cast<int>(key[1]);
        cell.attr("set_edgecolor")(colour::kCellEdge);
        if (r == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = colour::kText);
            cell.attr("set_facecolor")(colour::kHeaderFace);
            continue;
        }
        if (lines[r] > 1) cell.attr("set_height")(cell.attr("get_height")() * nb::int_(lines[r]));
        cell.attr("set_facecolor")(r % 2 ? colour::kOddRow : colour::kEvenRow);
        if (const char* text = spec.text_colour ? spec.text_colour(c) : nullptr)
            cell.attr("get_text")().attr("set_color")(text);
    }
}

}  // namespace mirtaly::strategy::charts
