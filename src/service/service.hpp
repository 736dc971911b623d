// BacktestService: setup, data preparation, loading and slicing, and the factor and
// strategy requests.
#pragma once

#include "interop/interop.hpp"

namespace mirtaly::service {

inline constexpr const char* kModule = "mirtaly.backtest._service";

// Universe code -> component factor name: the text after a name's last "_",
// cut before its first ".".
nb::dict universe_to_component(nb::handle component_factor_names);

void init(nb::handle self, nb::handle http);
void log_dataset_summary(nb::handle store, nb::handle action);

// mapping[name], an empty dict when absent.
nb::object entry_or_empty(nb::handle mapping, const char* name);
// The stored dates (`index`) of datasets[key], an empty list when either is absent.
nb::object dataset_dates(nb::handle datasets, nb::handle key);

void prepare_backtest_data(nb::handle self);
nb::list find_missing_datasets(nb::handle store);
void validate_metadata(nb::handle store);
void refresh_to_latest(nb::handle self, nb::handle store, nb::handle after_download);

nb::object load_backtest_data(nb::handle self);
nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date);
nb::list parse_universe(nb::handle universe);
void apply_universe_filter(nb::handle self, nb::handle data, nb::handle universe,
                           nb::handle start_date, nb::handle end_date);

nb::str factor_name(nb::handle factor);
nb::object to_public_result(nb::handle core_result, nb::handle factor_name);
nb::object backtest(nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date,
                    nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                    nb::handle group_num, nb::handle benchmark, nb::handle universe,
                    nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
                    nb::handle fee, nb::handle rule_fee, nb::handle plot);

nb::object backtest_strategy(nb::handle self, nb::handle strategy, nb::handle data,
                             nb::handle start_date, nb::handle end_date, nb::handle output_dir,
                             nb::handle plot_filename, nb::handle benchmark,
                             nb::handle rolling_window, nb::handle total_money, nb::handle fee,
                             nb::handle rule_fee, nb::handle plot);

}  // namespace mirtaly::service
