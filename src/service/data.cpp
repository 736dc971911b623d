// Loading the prepared data, cutting it per request and the stock universe.
#include <string>

#include "service/service.hpp"

namespace mirtaly::service {

using namespace interop;
using namespace nb::literals;

nb::object load_backtest_data(nb::handle) {
    // Read at call time, so that the directory can be pointed elsewhere.
    nb::object store =
        attr_of(kModule, "BinaryPreparedDataStore")(attr_of(kModule, "_DEFAULT_DATA_DIR"));
    if (!truth(store.attr("metadata_path").attr("exists")()))
        raise_error(PyExc_FileNotFoundError,
                    "未找到回测基准数据,请先调用 mirtaly.prepare_backtest_data()");
    nb::object payload = store.attr("load")("start_date"_a = nb::none(), "end_date"_a = nb::none(),
                                            "mmap"_a = false);
    // Stored row by row, kept stock by stock: a backtest then reads only the
    // columns of its own stocks, and pandas works on its own layout. Entries
    // are replaced one at a time, so one extra matrix is held at most.
    nb::dict data = nb::borrow<nb::dict>(payload["data"]);
    for (nb::handle key : nb::list(data.keys()))
        if (is_dataframe(data[key])) data[key] = column_major_frame(data[key]);
    return attr_of(kModule, "BacktestData")("data"_a = data);
}

nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date) {
    require_dict(data, "data");
    require_str(start_date, "start_date");
    require_str(end_date, "end_date");
    // New entries for the cut ones, the same objects for the rest: the
    // caller's dictionary and frames are shared by every request and never
    // written.
    nb::dict sliced;
    for (auto [key, value] : nb::borrow<nb::dict>(data)) {
        if (is_text(key) && nb::cast<std::string>(key) == "benchmark_dict") {
            nb::dict series;
            for (nb::handle item : value.attr("items")())
                series[item[nb::int_(0)]] = label_window(item[nb::int_(1)], start_date, end_date);
            sliced[key] = series;
        } else if (is_dataframe(value)) {
            sliced[key] = label_window(value, start_date, end_date);
        } else {
            sliced[key] = value;
        }
    }
    return sliced;
}

nb::list parse_universe(nb::handle universe) {
    nb::list codes;
    if (universe.is_none()) return codes;
    // A string is one code, never split.
    if (is_text(universe)) {
        nb::object code = universe.attr("strip")();
        if (nb::len(code)) codes.append(code);
        return codes;
    }
    for (nb::handle item : universe) {
        nb::object code = nb::str(item).attr("strip")();
        if (nb::len(code)) codes.append(code);
    }
    return codes;
}

void apply_universe_filter(nb::handle self, nb::handle data, nb::handle universe,
                           nb::handle start_date, nb::handle end_date) {
    require_dict(data, "data");
    require_str(start_date, "start_date");
    require_str(end_date, "end_date");
    nb::object codes = self.attr("_parse_universe")(universe);
    if (nb::len(codes) == 0) return;
    nb::object valid = data["close_price_valid"];
    nb::object index = index_of(valid), columns = columns_of(valid);
    nb::object table = attr_of(kModule, "_UNIVERSE_TO_COMPONENT");
    nb::object dataset_key = attr_of(kModule, "component_dataset_key");

    // Every code is checked before the dictionary changes.
    nb::object members = nb::none();
    for (nb::handle code : codes) {
        const std::string text = nb::cast<std::string>(nb::str(code));
        nb::object component = table.attr("get")(code);
        if (component.is_none()) raise_value_error("不支持的选股范围: " + text);
        nb::object matrix = data.attr("get")(dataset_key(component));
        if (matrix.is_none() || nb::len(matrix) == 0)
            raise_value_error("选股范围 " + text + " 无成分股数据,请重新准备数据");
        // Dates or stocks the component matrix lacks are not members.
        nb::object aligned = reindexed(matrix, index, columns);
        members = members.is_none() ? aligned : members.attr("add")(aligned, "fill_value"_a = 0.0);
    }
    nb::object mask = members.attr("where")(members.attr("__gt__")(0)) * nb::int_(0) + nb::int_(1);
    data[nb::str("close_price_valid")] = valid * mask;
}

}  // namespace mirtaly::service
