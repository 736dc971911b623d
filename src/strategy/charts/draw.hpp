// Drawing helpers shared by the report figures: the chart lock, figure
// lifetime, house colours and the few matplotlib patterns every panel repeats.
#pragma once

#include <nanobind/stl/vector.h>

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "strategy/charts/charts.hpp"

namespace mirtaly::strategy::charts {

namespace colour {
inline constexpr const char* kStrategy = "#2563eb";
inline constexpr const char* kBenchmark = "#111827";  // also the figure titles
inline constexpr const char* kExcess = "#ef4444";
inline constexpr const char* kZeroLine = "#94a3b8";
inline constexpr const char* kStrategyFill = "#bfdbfe";
inline constexpr const char* kBenchmarkFill = "#d1d5db";
inline constexpr const char* kExcessFill = "#fecaca";
inline constexpr const char* kRollingSharpe = "#7c3aed";
inline constexpr const char* kRollingWin = "#16a34a";
inline constexpr const char* kExcessLabel = "#991b1b";
inline constexpr const char* kGrid = "#e5e7eb";
inline constexpr const char* kText = "#0f172a";
inline constexpr const char* kCardLabel = "#64748b";
inline constexpr const char* kCardEdge = "#d6dbe6";
inline constexpr const char* kCellEdge = "#e2e8f0";
inline constexpr const char* kHeaderFace = "#eef2ff";
inline constexpr const char* kEvenRow = "#f8fafc";
inline constexpr const char* kOddRow = "white";
inline constexpr const char* kStrategyText = "#1d4ed8";
inline constexpr const char* kExcessText = "#b91c1c";
}  // namespace colour

inline constexpr double kLegendAlpha = 0.92;

struct Margins {
    double left, right, top, bottom;
};

// A panel's place in the grid: one row, columns [first, last).
struct Cell {
    int row, first, last;
};

// The page of a figure: its size, its grid and its resolution.
struct Page {
    double width, height;  // inches
    int columns;
    std::vector<double> height_ratios;  // one per row
    std::vector<double> width_ratios;   // none: equal columns
    double hspace;
    std::optional<double> wspace;
    Margins margins;
    bool margins_on_grid;  // else applied to the figure with subplots_adjust
    double dpi;
};

// Holds the process-wide chart lock from construction to destruction, so
// that every path out of a drawing, errors included, releases it; the
// garbage of the figures drawn meanwhile is collected before it is released.
class PlotLock {
  public:
    PlotLock();
    ~PlotLock();
    PlotLock(const PlotLock&) = delete;
    PlotLock& operator=(const PlotLock&) = delete;

  private:
    nb::object lock_;
    nb::object gc_;  // set while objects older than the drawing are frozen
};

// pyplot on the Agg backend, with the Chinese face registered and the house
// style applied; the caller holds the chart lock.
struct Pyplot {
    nb::object plt;
    nb::object percent_formatter;  // the class
};
Pyplot begin_drawing();

// One figure and its grid, from creation to close. A figure abandoned by an
// error is closed on the way out, so a failed save leaks nothing.
class Figure {
  public:
    Figure(const Pyplot& py, const Page& page);
    ~Figure();
    Figure(const Figure&) = delete;
    Figure& operator=(const Figure&) = delete;

    nb::handle get() const { return fig_; }
    nb::object panel(const Cell& cell, nb::handle sharex = nb::handle()) const;
    // The title shared by both figures: bold, in the title colour.
    void title(const std::string& text, double size, double y) const;
    void save_and_close(nb::handle path);

  private:
    const Page& page_;
    nb::object plt_, fig_, grid_;
    bool open_ = true;
};

// The arguments both figures check the same way.
struct FigureArgs {
    nb::object total;
    std::string title;  // plot_title unless empty, else strategy_name
    std::string benchmark;
    bool is_long;  // anything but exactly "large" is the tall page
    nb::object save_path;
};
FigureArgs figure_args(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                       nb::handle save_path, nb::handle image_kind, nb::handle benchmark_name);

// Values as a fresh float64 array, for matplotlib.
nb::object array_of(std::span<const double> values);

// y tick labels as percent of 1.0.
void percent_axis(const Pyplot& py, nb::handle ax);
void horizontal_line(nb::handle ax, double y, double width);
// Light grid, no top or right spine.
void house_grid(nb::handle ax);
// A twin y axis for drawdowns: labelled, no grid, no top spine.
void drawdown_twin(nb::handle twin, double label_size);
// One framed legend on `ax` holding the entries of every axes given, in order.
void legend(nb::handle ax, std::initializer_list<nb::handle> sources, const char* loc,
            double font_size = 0.0, int ncol = 1);
// "No yearly data"-style text in the middle of a panel.
void centre_note(nb::handle ax, const char* text);

// A table filling the panel's centre: the label row bold on the header face,
// data rows alternating white and light, a row of n-line text n rows high;
// `text_colour(column)` (may be null) colours data cells.
struct TableSpec {
    const std::vector<std::vector<std::string>>* rows;
    std::span<const char* const> labels;
    std::span<const double> widths;
    const char* align;
    double font_size, row_scale;
    const char* (*text_colour)(int column) = nullptr;
};
void draw_table(nb::handle ax, const TableSpec& spec);

}  // namespace mirtaly::strategy::charts
