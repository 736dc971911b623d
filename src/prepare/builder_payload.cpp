// Which factors are read and how, the payload, and the incremental write window.
#include <string>
#include <vector>

#include "prepare/builder.hpp"

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

namespace {

// normalize_yyyymmdd of a write date: text or None, nothing else.
nb::object normalized(nb::handle date, const char* what) {
    nb::object out = module_attr("normalize_yyyymmdd")(date);
    io::require_str(out, what, /*allow_none=*/true);
    return out;
}

// A new dict holding the payload's meta entries (none when it has no meta).
nb::dict meta_copy(nb::handle payload) {
    nb::dict out;
    if (nb::borrow<nb::dict>(payload).contains("meta"))
        out = nb::borrow<nb::dict>(io::attr_of("builtins", "dict")(payload["meta"]));
    return out;
}

}  // namespace

nb::tuple GroupPreparedDataBuilder::read_source_data(bool incremental) const {
    nb::list component_names = get_component_factor_names();
    nb::list required = nb::borrow<nb::list>(module_attr("REQUIRED_FACTOR_NAMES"));
    nb::list optional = nb::borrow<nb::list>(module_attr("OPTIONAL_FACTOR_NAMES"));
    nb::dict source, components;
    if (incremental) {
        nb::list names = nb::borrow<nb::list>(module_attr("BUILD_INPUT_NAMES").attr("copy")());
        for (nb::handle name : component_names) names.append(name);
        nb::dict batch = read_normal_factor_batch(names);
        source["Close"] = batch_or_read(batch, nb::str("Close"));
        nb::object reference = close_validity_frame(source["Close"]);
        components = component_matrices(component_names, batch);
        for (nb::handle name : required)
            if (!name.equal(nb::str("Close"))) source[name] = batch_or_read(batch, name);
        for (nb::handle name : optional) source[name] = read_or_empty(name, reference, batch);
    } else {
        for (nb::handle name : required) source[name] = read_normal_factor_matrix(name);
        nb::object reference = close_validity_frame(source["Close"]);
        for (nb::handle name : optional) source[name] = read_or_empty(name, reference, nb::none());
        components = component_matrices(component_names, nb::none());
    }
    return nb::make_tuple(source, components, read_benchmark_dict(), component_names);
}

nb::dict GroupPreparedDataBuilder::build_payload(bool incremental, nb::handle meta_time_key) const {
    io::require_str(meta_time_key, "meta_time_key");
    nb::tuple bundle = read_source_data(incremental);
    nb::dict components = nb::borrow<nb::dict>(bundle[1]);
    nb::list missing;
    for (nb::handle name : bundle[3])
        if (!components.contains(name)) missing.append(name);
    if (nb::len(missing) > 0)
        io::raise_value_error("成分股矩阵缺失，无法精确生成二进制缓存: " +
                              nb::cast<std::string>(nb::str(missing)));
    return assemble_payload(build_from_matrices(bundle[0]), components, bundle[2], bundle[3],
                            meta_time_key);
}

nb::dict GroupPreparedDataBuilder::assemble_payload(nb::handle data, nb::handle component_matrices,
                                                    nb::handle benchmark_dict,
                                                    nb::handle component_names,
                                                    nb::handle meta_time_key) const {
    io::require_dict(data, "data");
    io::require_dict(component_matrices, "component_matrices");
    io::require_dict(benchmark_dict, "benchmark_dict");
    io::require_list(component_names, "component_names");
    io::require_str(meta_time_key, "meta_time_key");
    nb::object key_of = module_attr("component_dataset_key");
    nb::dict dataset_keys;
    for (nb::handle name : component_names) dataset_keys[name] = key_of(name);

    nb::dict out_data = nb::borrow<nb::dict>(data.attr("copy")());
    for (auto [name, mask] : nb::borrow<nb::dict>(component_matrices))
        out_data[key_of(name)] = mask;
    out_data["benchmark_dict"] = benchmark_dict;

    nb::dict meta;
    meta["start_date"] = default_start;
    meta["end_date"] = end_date;
    meta["ddb_start"] = ddb_start;
    meta["ddb_end"] = ddb_end;
    meta["component_names"] = component_names;
    meta["component_dataset_keys"] = dataset_keys;
    meta[meta_time_key] = io::now_iso();

    nb::dict payload;
    payload["version"] = module_attr("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = out_data;
    return payload;
}

nb::dict GroupPreparedDataBuilder::build() const {
    return build_payload(false, nb::str("created_at"));
}

nb::dict GroupPreparedDataBuilder::build_incremental() const {
    return build_payload(true, nb::str("updated_at"));
}

nb::dict payload_slice_from_date(nb::handle payload, nb::handle write_start_date) {
    io::require_dict(payload, "payload");
    io::require_str(write_start_date, "write_start_date");
    nb::object start = normalized(write_start_date, "normalized write_start_date");
    nb::dict cut;
    for (auto [key, value] : nb::borrow<nb::dict>(payload["data"])) {
        if (key.equal(nb::str("benchmark_dict"))) {
            nb::dict series;
            for (auto [code, s] : nb::borrow<nb::dict>(io::attr_of("builtins", "dict")(value)))
                series[code] = io::label_window(s, start, nb::none());
            cut[key] = series;
        } else if (io::is_dataframe(value)) {
            cut[key] = io::label_window(value, start, nb::none());
        } else {
            cut[key] = value;
        }
    }
    nb::dict meta = meta_copy(payload);
    nb::object read_start = meta.get("start_date", nb::none());
    meta["write_start_date"] = start;
    meta["read_start_date"] = read_start;
    meta["start_date"] = start;
    nb::dict out = nb::borrow<nb::dict>(payload.attr("copy")());
    out["data"] = cut;
    out["meta"] = meta;
    return out;
}

nb::dict build_incremental_write_window(nb::handle base_index, nb::handle write_start_date,
                                        nb::handle write_end_date) {
    io::require_list(base_index, "base_index");
    io::require_str(write_start_date, "write_start_date");
    io::require_str(write_end_date, "write_end_date");
    if (nb::len(base_index) == 0)
        io::raise_value_error("本地准备数据 close_price 日期索引为空,无法增量更新。");
    nb::object start = normalized(write_start_date, "normalized write_start_date");
    nb::object end = normalized(write_end_date, "normalized write_end_date");
    if (start.is_none() || end.is_none())
        io::raise_value_error("write_start_date / write_end_date 不能为空。");

    std::vector<std::string> dates;
    for (nb::handle d : base_index) {
        io::require_str(d, "base_index entry");
        dates.push_back(nb::cast<std::string>(d));
    }
    const std::string first = nb::cast<std::string>(start), last = nb::cast<std::string>(end);
    // Writing starts at the first local day inside the window (or at the requested
    // start), reading one local day earlier, for the look-back of prev_close.
    std::string write_from = first;
    for (const std::string& d : dates)
        if (first <= d && d <= last) {
            write_from = d;
            break;
        }
    std::string read_from = write_from;
    for (const std::string& d : dates)
        if (d < write_from) read_from = d;

    nb::str read_start(read_from.c_str());
    GroupPreparedDataBuilder builder(read_start, end);
    nb::dict payload =
        payload_slice_from_date(builder.build_incremental(), nb::str(write_from.c_str()));
    nb::dict meta = meta_copy(payload);
    meta["requested_write_start_date"] = start;
    meta["write_end_date"] = end;
    meta["read_start_date"] = read_start;
    payload["meta"] = meta;
    return payload;
}

}  // namespace mirtaly::prepare
