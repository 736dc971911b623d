// Factor reads: the builder's dates, the client queries with their fallback,
// and the pivot of narrow or wide answers into one matrix per factor.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "kernels/pivot.hpp"
#include "prepare/builder.hpp"

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

namespace {

nb::object client() { return module_attr("get_instance")(); }

const char* first_column(nb::handle frame, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (io::has_column(frame, name)) return name;
    return nullptr;
}

// Numbers of a column, anything unconvertible as NaN, as float64 values.
nb::object numeric_values(nb::handle column) { return io::float_array_of(io::to_numbers(column)); }

// Distinct labels mapped to ids in their sorted order; a factorized label that
// maps to no text (None) is dropped (-1).
struct Labels {
    io::Positions codes;
    std::vector<std::int64_t> id_of;  // per factorized code
    nb::list sorted;                  // id -> text
};

Labels sorted_labels(io::Factorized f, const std::vector<nb::object>& texts) {
    nb::set distinct;
    for (const nb::object& t : texts)
        if (t.is_valid()) distinct.add(t);
    nb::list sorted = nb::borrow<nb::list>(io::attr_of("builtins", "sorted")(distinct));
    nb::dict id;
    for (std::size_t i = 0; i < nb::len(sorted); ++i) id[sorted[i]] = i;
    std::vector<std::int64_t> id_of(texts.size(), -1);
    for (std::size_t u = 0; u < texts.size(); ++u)
        if (texts[u].is_valid()) id_of[u] = nb::cast<std::int64_t>(id[texts[u]]);
    return {std::move(f.codes), std::move(id_of), sorted};
}

// A key that names an index rather than a stock: rows of index data must not
// land on the stock whose code they share once the suffix is cut.
bool names_an_index(const std::string& key) {
    const auto dot = key.find('.');
    if (dot == std::string::npos) return false;
    const std::string code = key.substr(0, dot);
    std::string suffix = key.substr(key.rfind('.') + 1);
    for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (suffix == "INDX") return true;
    if (suffix == "XSHG" || suffix == "SH") return code.starts_with("0");
    if (suffix == "XSHE" || suffix == "SZ") return code.starts_with("399");
    return false;
}

// ukey -> the first six characters of its text (no padding), index keys and
// missing keys dropped.
Labels stock_labels(nb::handle ukey) {
    io::Factorized f = io::factorize(ukey);
    std::vector<nb::object> texts;
    texts.reserve(nb::len(f.uniques));
    for (nb::handle u : f.uniques) {
        nb::str text = nb::str(u);
        texts.push_back(names_an_index(nb::cast<std::string>(text))
                            ? nb::object()
                            : nb::object(text.attr("__getitem__")(nb::slice(0, 6))));
    }
    return sorted_labels(std::move(f), texts);
}

// Dates of any parseable form -> YYYYMMDD text; unparseable dates dropped.
Labels date_labels(nb::handle dates) {
    io::Factorized f = io::factorize(dates);
    nb::list parsed = nb::borrow<nb::list>(series_to_yyyymmdd(f.uniques).attr("tolist")());
    std::vector<nb::object> texts;
    texts.reserve(nb::len(parsed));
    for (nb::handle t : parsed)
        texts.push_back(PyUnicode_Check(t.ptr()) ? nb::borrow(t) : nb::object());
    return sorted_labels(std::move(f), texts);
}

// Scatters one long table into a matrix per group and cleans each one; groups
// without a usable row keep their entry.
void pivot_into(nb::dict& result, const nb::list& group_names, const Labels& dates,
                const Labels& stocks, const io::Positions* group_codes,
                const std::vector<std::int64_t>& group_of, nb::handle values) {
    auto value = io::float_column(values);
    kernels::LongTable table;
    table.date_code = dates.codes.view;
    table.key_code = stocks.codes.view;
    if (group_codes) table.group_code = group_codes->view;
    table.date_of = dates.id_of;
    table.key_of = stocks.id_of;
    table.group_of = group_of;
    table.value = value.view;
    table.groups = nb::len(group_names);
    table.dates = nb::len(dates.sorted);
    table.keys = nb::len(stocks.sorted);

    std::vector<std::uint8_t> seen_dates(table.groups * table.dates),
        seen_keys(table.groups * table.keys);
    {
        nb::gil_scoped_release release;
        kernels::pivot_presence(table, seen_dates, seen_keys);
    }
    std::vector<std::int64_t> row_of, col_of;
    std::vector<double*> out(table.groups, nullptr);
    std::vector<std::size_t> out_rows(table.groups, 0);
    nb::object clean = module_attr("clean_matrix");
    std::vector<std::pair<std::size_t, nb::object>> frames;
    for (std::size_t g = 0; g < table.groups; ++g) {
        std::span<const std::uint8_t> dates_g(seen_dates.data() + g * table.dates, table.dates);
        std::span<const std::uint8_t> keys_g(seen_keys.data() + g * table.keys, table.keys);
        auto rows = kernels::marked_positions(dates_g), cols = kernels::marked_positions(keys_g);
        row_of.insert(row_of.end(), rows.begin(), rows.end());
        col_of.insert(col_of.end(), cols.begin(), cols.end());
        nb::list index, columns;
        for (std::size_t d = 0; d < table.dates; ++d)
            if (dates_g[d]) index.append(dates.sorted[d]);
        for (std::size_t k = 0; k < table.keys; ++k)
            if (keys_g[k]) columns.append(stocks.sorted[k]);
        if (nb::len(index) == 0) continue;
        auto [array, data] = io::new_float_matrix(nb::len(index), nb::len(columns));
        std::fill(data, data + nb::len(index) * nb::len(columns), std::nan(""));
        out[g] = data;
        out_rows[g] = nb::len(index);
        frames.emplace_back(
            g, io::frame_from_array(array, io::as_index(index), io::as_index(columns)));
    }
    {
        nb::gil_scoped_release release;
        kernels::pivot_scatter(table, row_of, col_of, out, out_rows);
    }
    for (auto& [g, frame] : frames) result[group_names[g]] = clean(frame);
}

}  // namespace

GroupPreparedDataBuilder::GroupPreparedDataBuilder(nb::handle start_date, nb::handle end) {
    io::require_str(start_date, "start_date");
    io::require_str(end, "end_date");
    nb::object normalize = module_attr("normalize_yyyymmdd");
    default_start = normalize(start_date);
    end_date = normalize(end);
    ddb_start = normalize_ddb_backtest_date(default_start);
    ddb_end = normalize_ddb_backtest_date(end_date);
}

nb::object GroupPreparedDataBuilder::normalize_ddb_backtest_date(nb::handle date_value) {
    if (date_value.is_none()) return nb::none();
    nb::object text = PyUnicode_Check(date_value.ptr()) ? nb::borrow(date_value)
                                                        : nb::object(nb::str(date_value));
    if (nb::len(text) == 7 && io::truth(text.attr("isdigit")())) return text + nb::str("0");
    return text;
}

nb::object GroupPreparedDataBuilder::mr_factor_date(nb::handle date_value) {
    io::require_str(date_value, "date_value", /*allow_none=*/true);
    nb::object date = module_attr("normalize_yyyymmdd")(date_value);
    io::require_str(date, "normalized date", /*allow_none=*/true);
    if (date.is_none()) return date;
    // Normalised text is a valid YYYYMMDD date: only the separators change.
    std::string d = nb::cast<std::string>(date);
    return nb::str((d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2)).c_str());
}

nb::object GroupPreparedDataBuilder::empty_like(nb::handle reference, nb::handle fill_value) {
    io::require_dataframe(reference, "reference");
    return io::full_frame(fill_value, io::index_of(reference), io::columns_of(reference));
}

nb::object GroupPreparedDataBuilder::in_window(nb::handle matrix) const {
    if (matrix.is_none()) return nb::none();
    return io::label_window(matrix, default_start, end_date);
}

nb::object GroupPreparedDataBuilder::read_normal_factor_matrix(nb::handle name) const {
    io::require_str(name, "name");
    nb::object answer = client().attr("get_factors")("factor"_a = name,
                                                     "start_date"_a = mr_factor_date(default_start),
                                                     "end_date"_a = mr_factor_date(end_date));
    nb::list names;
    names.append(name);
    nb::object matrix =
        in_window(mr_factors_to_matrices(answer, names).get(name, io::empty_frame()));
    return io::has_rows(matrix) ? matrix : io::empty_frame();
}

nb::dict GroupPreparedDataBuilder::mr_factors_to_matrices(nb::handle df, nb::handle names) {
    if (!df.is_none()) io::require_dataframe(df, "df");
    io::require_list(names, "names");
    nb::dict result;
    for (nb::handle name : names) result[name] = io::empty_frame();
    if (!io::has_rows(df)) return result;

    const char* date_col = first_column(df, {"date", "DataDate"});
    if (!io::has_column(df, "ukey") || !date_col)
        io::raise_key_error(nb::str("因子查询返回结果缺少 ukey/date 列"));
    const Labels stocks = stock_labels(df["ukey"]);
    const Labels dates = date_labels(df[date_col]);

    // Each requested name once, in order: a group id per distinct name.
    nb::list group_names;
    nb::dict group_id;
    for (nb::handle name : names)
        if (!group_id.contains(name)) {
            group_id[name] = nb::len(group_names);
            group_names.append(name);
        }

    if (const char* value_col = first_column(df, {"value", "x"})) {  // narrow layout
        const char* name_col = first_column(df, {"factor", "factor_name", "factorname"});
        if (!name_col) {
            if (nb::len(names) != 1) return result;
            pivot_into(result, group_names, dates, stocks, nullptr, {},
                       numeric_values(df[value_col]));
            return result;
        }
        io::Factorized groups = io::factorize(df[name_col]);
        std::vector<std::int64_t> group_of;
        for (nb::handle u : groups.uniques) {
            nb::object id = group_id.get(nb::str(u), nb::int_(-1));
            group_of.push_back(nb::cast<std::int64_t>(id));
        }
        pivot_into(result, group_names, dates, stocks, &groups.codes, group_of,
                   numeric_values(df[value_col]));
        return result;
    }
    for (nb::handle name : group_names) {  // wide layout: one column per factor
        if (!io::contains(io::columns_of(df), name)) continue;
        nb::list one;
        one.append(name);
        pivot_into(result, one, dates, stocks, nullptr, {}, numeric_values(df[name]));
    }
    return result;
}

nb::dict GroupPreparedDataBuilder::read_normal_factor_batch(nb::handle names_arg) const {
    io::require_list(names_arg, "names");
    nb::list names = parse_name_list(names_arg);
    nb::dict batch;
    if (nb::len(names) == 0) return batch;
    try {
        nb::object answer = client().attr("get_factors")(
            "factor"_a = names, "start_date"_a = mr_factor_date(default_start),
            "end_date"_a = mr_factor_date(end_date));
        nb::dict pivots = mr_factors_to_matrices(answer, names);
        for (auto [name, matrix] : pivots) batch[name] = in_window(matrix);
    } catch (nb::python_error& e) {
        if (!e.matches(module_attr("NetworkError"))) throw;
        batch = nb::dict();
        for (nb::handle name : names) batch[name] = io::empty_frame();
    }
    for (nb::handle name : names)
        if (!io::has_rows(batch.get(name, nb::none())))
            batch[name] = read_normal_factor_matrix(name);
    return batch;
}

nb::object GroupPreparedDataBuilder::read_or_empty(nb::handle name, nb::handle reference,
                                                   nb::handle batch) const {
    io::require_str(name, "name");
    io::require_dataframe(reference, "reference");
    io::require_dict(batch, "batch", /*allow_none=*/true);
    if (!batch.is_none()) {
        nb::object matrix = batch.attr("get")(name);
        // An empty batch entry is not read again: the batch read already retried it.
        if (io::has_rows(matrix)) return io::sorted_by_index(matrix);
    } else {
        nb::object matrix = read_normal_factor_matrix(name);
        if (io::has_rows(matrix)) return matrix;
    }
    // Without suspension data every stock trades normally (flag 1), rather than
    // every cell reading as "cannot buy, must hold".
    const bool suspension = nb::cast<std::string>(name) == "rq_is_suspended";
    return empty_like(reference, nb::float_(suspension ? 1.0 : std::nan("")));
}

nb::object GroupPreparedDataBuilder::batch_or_read(nb::handle batch, nb::handle name) const {
    io::require_dict(batch, "batch");
    io::require_str(name, "name");
    nb::object matrix = batch.attr("get")(name);
    if (io::has_rows(matrix)) return io::sorted_by_index(matrix);
    return read_normal_factor_matrix(name);
}

}  // namespace mirtaly::prepare
