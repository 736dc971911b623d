// What the service sets up at load, its constructor and the dataset summary.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "service/service.hpp"

namespace mirtaly::service {

using namespace interop;

nb::dict universe_to_component(nb::handle component_factor_names) {
    nb::dict table;
    for (nb::handle name : component_factor_names) {
        std::string text = nb::cast<std::string>(name);
        std::string code = text.substr(text.rfind('_') + 1);
        table[nb::str(code.substr(0, code.find('.')).c_str())] = name;
    }
    return table;
}

void init(nb::handle self, nb::handle http) { nb::setattr(self, "_http", http); }

nb::object entry_or_empty(nb::handle mapping, const char* name) {
    nb::object value = mapping.attr("get")(name);
    return value.is_none() ? nb::dict() : value;
}

nb::object dataset_dates(nb::handle datasets, nb::handle key) {
    nb::object entry = datasets.attr("get")(key);
    nb::object dates = entry.is_none() ? nb::none() : entry.attr("get")("index");
    return dates.is_none() ? nb::list() : dates;
}

namespace {

// The last date of a dataset's index list, or "(空)" when it has none.
nb::object latest_date(nb::handle datasets, nb::handle key) {
    nb::object dates = dataset_dates(datasets, key);
    if (nb::len(dates) == 0) return nb::str("(空)");
    nb::object last = dates[nb::int_(-1)];
    if (!last.is_none() && !is_text(last))
        raise_type_error("latest date of " + nb::cast<std::string>(nb::repr(key)) +
                         " must be str, got " + type_name_of(last));
    return last;
}

}  // namespace

void log_dataset_summary(nb::handle store, nb::handle action) {
    require_str(action, "action");
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry_or_empty(metadata, "datasets");
    nb::object benchmarks = entry_or_empty(metadata, "benchmarks");
    // The store's metadata is plain dicts: code -> dataset key.
    nb::set benchmark_keys;
    for (auto [code, key] : nb::cast<nb::dict>(benchmarks)) benchmark_keys.add(key);

    // Matrices and index members first, in the store's order; benchmarks last.
    std::vector<std::pair<nb::object, nb::object>> rows;
    for (nb::handle key : datasets) {
        if (truth(key.attr("startswith")("component__")))
            rows.emplace_back(nb::str("成分股 ") + key.attr("replace")("component__", ""),
                              latest_date(datasets, key));
        else if (!benchmark_keys.contains(key))
            rows.emplace_back(nb::borrow(key), latest_date(datasets, key));
    }
    for (nb::handle item : benchmarks.attr("items")()) {
        nb::object code = item[nb::int_(0)];
        rows.emplace_back(nb::str("基准 ") + nb::str(code),
                          latest_date(datasets, item[nb::int_(1)]));
    }

    nb::object logger = attr_of(kModule, "logger");
    logger.attr("info")("回测基准数据%s,各数据集最新日期:", action);
    std::size_t width = 0;
    for (const auto& row : rows) width = std::max(width, nb::len(row.first));
    for (const auto& [name, date] : rows) logger.attr("info")("  %-*s  %s", width, name, date);
}

}  // namespace mirtaly::service
