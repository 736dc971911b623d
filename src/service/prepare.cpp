// BacktestService.prepare_backtest_data: download or repair, then the tail update.
#include <array>
#include <cstddef>

#include "service/service.hpp"

namespace mirtaly::service {

using namespace interop;
using namespace nb::literals;

namespace {

// What a backtest reads without a fallback: the key datasets first, then
// the rest of what the group and strategy requests take from the store.
constexpr std::array<const char*, 10> kRequiredDatasets = {
    "close_price", "open_price", "can_buy_stock", "cant_sell_stock", "close_price_valid",
    "prev_close",  "buy_price",  "sell_price",    "rq_get_split",    "rq_get_dividend"};

constexpr const char* kIncomplete = "回测基准数据包不完整,请删除回测数据目录后重新准备";

nb::object new_store(nb::handle store_dir) {
    return attr_of(kModule, "BinaryPreparedDataStore")(store_dir);
}

bool has_metadata(nb::handle store) { return truth(store.attr("metadata_path").attr("exists")()); }

// Downloads a package into a staging directory beside `store_dir`, checks it
// there and swaps it in; the old directory stays as it was until then.
void install_package(nb::handle self, nb::handle store_dir) {
    nb::object staging = attr_of(kModule, "staging_directory")(store_dir);
    try {
        attr_of(kModule, "download_benchmark_package")(self.attr("_http"), staging);
        attr_of(kModule, "flatten_single_subdir")(staging);
        self.attr("_validate_metadata")(new_store(staging));
        attr_of(kModule, "replace_directory")(store_dir, staging);
    } catch (...) {
        attr_of("shutil", "rmtree")(staging, "ignore_errors"_a = true);
        throw;
    }
}

}  // namespace

void prepare_backtest_data(nb::handle self) {
    // Read at call time, so that the directory can be pointed elsewhere.
    nb::object store_dir = attr_of(kModule, "_DEFAULT_DATA_DIR");
    within(attr_of(kModule, "preparation_lock")(store_dir), [&] {
        nb::object store = new_store(store_dir);
        bool after_download = false;
        if (!has_metadata(store) || nb::len(self.attr("_find_missing_datasets")(store)) != 0) {
            install_package(self, store_dir);
            store = new_store(store_dir);
            after_download = true;
        }
        self.attr("_refresh_to_latest")(store, "after_download"_a = after_download);
    });
}

nb::list find_missing_datasets(nb::handle store) {
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry_or_empty(metadata, "datasets");
    nb::list missing;
    if (nb::len(dataset_dates(datasets, nb::str("close_price"))) == 0)
        missing.append(nb::str("close_price 索引为空"));
    for (const char* key : kRequiredDatasets)
        if (!contains(datasets, nb::str(key))) missing.append(nb::str(key));
    if (!truth(metadata.attr("get")("benchmarks"))) missing.append(nb::str("benchmarks"));
    nb::object dataset_key = attr_of(kModule, "component_dataset_key");
    for (nb::handle name : attr_of(kModule, "COMPONENT_FACTOR_NAMES")) {
        nb::object key = dataset_key(name);
        if (!contains(datasets, key)) missing.append(key);
    }
    return missing;
}

void validate_metadata(nb::handle store) {
    if (!has_metadata(store)) raise_mirtaly_error("回测基准数据包解压后缺少元信息文件");
    nb::object metadata = store.attr("load_metadata")();
    nb::object datasets = entry_or_empty(metadata, "datasets");
    if (nb::len(dataset_dates(datasets, nb::str("close_price"))) == 0)
        raise_mirtaly_error(kIncomplete);
    for (const char* key : kRequiredDatasets)
        if (!contains(datasets, nb::str(key))) raise_mirtaly_error(kIncomplete);
    if (!truth(metadata.attr("get")("benchmarks"))) raise_mirtaly_error(kIncomplete);
}

void refresh_to_latest(nb::handle self, nb::handle store, nb::handle after_download) {
    const bool downloaded = truth(after_download);
    nb::object datasets = store.attr("load_metadata")()["datasets"];
    nb::list base_index = nb::borrow<nb::list>(
        attr_of("builtins", "list")(dataset_dates(datasets, nb::str("close_price"))));
    if (nb::len(base_index) == 0) raise_mirtaly_error(kIncomplete);
    // The newest TAIL_RELOAD_ROWS stored dates are written again.
    const std::size_t reload = nb::cast<std::size_t>(attr_of(kModule, "TAIL_RELOAD_ROWS"));
    const std::size_t rows = nb::len(base_index);
    nb::object write_start = base_index[rows > reload ? rows - reload : 0];
    nb::object write_end = today_yyyymmdd();
    if (write_start >= write_end) {
        self.attr("_log_dataset_summary")(store, "action"_a = downloaded ? "已就绪" : "已是最新");
        return;
    }
    nb::object payload =
        attr_of(kModule, "build_incremental_write_window")(base_index, write_start, write_end);
    if (!truth(store.attr("update_tail")(payload)))
        raise_mirtaly_error("回测数据增量更新失败:基准缺失或元信息不完整");
    self.attr("_log_dataset_summary")(store, "action"_a = downloaded ? "已就绪并更新" : "已更新");
}

}  // namespace mirtaly::service
