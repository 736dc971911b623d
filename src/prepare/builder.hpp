// GroupPreparedDataBuilder: reads factors through the market data client and
// derives the prepared datasets, component masks and benchmark series.
#pragma once

#include "prepare/schema.hpp"

namespace mirtaly::prepare {

class GroupPreparedDataBuilder {
  public:
    GroupPreparedDataBuilder(nb::handle start_date, nb::handle end_date);

    // Dates: YYYYMMDD text of the requested range, and the same after the
    // seven-digit padding rule (only recorded in the payload's meta).
    nb::object default_start, end_date, ddb_start, ddb_end;

    static nb::object normalize_ddb_backtest_date(nb::handle date_value);
    static nb::object mr_factor_date(nb::handle date_value);
    static nb::object empty_like(nb::handle reference, nb::handle fill_value);

    // Factor reads and the pivot of the service's answers.
    nb::object read_normal_factor_matrix(nb::handle name) const;
    static nb::dict mr_factors_to_matrices(nb::handle df, nb::handle names);
    nb::dict read_normal_factor_batch(nb::handle names) const;
    nb::object read_or_empty(nb::handle name, nb::handle reference, nb::handle batch) const;
    nb::object batch_or_read(nb::handle batch, nb::handle name) const;

    // The twelve base datasets from the ten source matrices.
    static nb::dict build_from_matrices(nb::handle source);

    // Component masks and benchmark series.
    nb::dict component_matrices(nb::handle component_names, nb::handle batch) const;
    nb::dict read_benchmark_dict() const;
    static nb::object format_benchmark_daily_return(nb::handle df, nb::handle benchmark_name,
                                                    nb::handle index_code);

    // Payload.
    nb::tuple read_source_data(bool incremental) const;
    nb::dict build_payload(bool incremental, nb::handle meta_time_key) const;
    nb::dict assemble_payload(nb::handle data, nb::handle component_matrices,
                              nb::handle benchmark_dict, nb::handle component_names,
                              nb::handle meta_time_key) const;
    nb::dict build() const;
    nb::dict build_incremental() const;

  private:
    // Rows dated inside [default_start, end_date]: the service may send others.
    nb::object in_window(nb::handle matrix) const;
};

// close * 0 + 1: the close validity matrix, also the shape of placeholders.
nb::object close_validity_frame(nb::handle close);

nb::dict payload_slice_from_date(nb::handle payload, nb::handle write_start_date);
nb::dict build_incremental_write_window(nb::handle base_index, nb::handle write_start_date,
                                        nb::handle write_end_date);

}  // namespace mirtaly::prepare
