// Vocabulary of the prepared data: factor names, benchmark codes, dataset schema.
#pragma once

#include <array>
#include <utility>

#include "interop/interop.hpp"

namespace mirtaly::prepare {

inline constexpr const char* kModule = "mirtaly.backtest._prepare";

// A name _prepare binds, looked up at call time.
nb::object module_attr(const char* name);

inline constexpr std::array kComponentFactorNames = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX"};
// Short benchmark code -> suffixed index code.
inline constexpr std::array<std::pair<const char*, const char*>, 3> kBenchmarkIndexCodes = {{
    {"000852", "000852.XSHG"}, {"000300", "000300.XSHG"}, {"000905", "000905.XSHG"}}};
inline constexpr std::array kRequiredFactorNames = {
    "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
    "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"};
inline constexpr std::array kOptionalFactorNames = {"split_coefficient_to", "rq_get_dividend",
                                                    "rq_is_suspended"};
inline constexpr const char* kFloatStorageDtype = "float64";
inline constexpr const char* kBoolStorageDtype = "bool";
inline constexpr int kTailReloadRows = 2;
inline constexpr int kPreparedDataVersion = 1;
// The twelve base datasets in schema order, with their storage dtypes.
inline constexpr std::array<std::pair<const char*, const char*>, 12> kBaseMatrixDtype = {{
    {"industry_matrix", kFloatStorageDtype}, {"close_price", kFloatStorageDtype},
    {"open_price", kFloatStorageDtype}, {"close_price_valid", kFloatStorageDtype},
    {"prev_close", kFloatStorageDtype}, {"buy_price", kFloatStorageDtype},
    {"sell_price", kFloatStorageDtype}, {"rq_get_split", kFloatStorageDtype},
    {"rq_get_dividend", kFloatStorageDtype}, {"can_buy_stock", kBoolStorageDtype},
    {"cant_sell_stock", kBoolStorageDtype}, {"forward_return_rank_cache", kFloatStorageDtype}}};

nb::list parse_name_list(nb::handle raw_values);
nb::list get_component_factor_names();
nb::dict build_matrix_dtype(nb::handle component_names);
nb::object series_to_yyyymmdd(nb::handle values);

}  // namespace mirtaly::prepare
