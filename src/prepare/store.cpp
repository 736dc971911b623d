// BinaryPreparedDataStore: the store base with the component schema and supplements.
//
// The class is a real Python subclass of the SDK's BinaryPreparedDataStoreBase,
// created with type() at module load; its methods are C++ functions.
#include "prepare/store.hpp"

#include <string>

#include "prepare/schema.hpp"

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

// super(BinaryPreparedDataStore, self), so subclasses and mixins resolve as usual.
static nb::object super_of(nb::handle self) {
    return io::attr_of("builtins", "super")(module_attr("BinaryPreparedDataStore"), self);
}

void store_init(nb::handle self, nb::handle store_dir, nb::handle component_names) {
    io::require_list(component_names, "component_names", /*allow_none=*/true);
    io::require_path_like(store_dir, "store_dir");
    super_of(self).attr("__init__")(store_dir, build_matrix_dtype(component_names),
                                    module_attr("PREPARED_DATA_VERSION"),
                                    module_attr("FLOAT_STORAGE_DTYPE"));
}

nb::object store_load(nb::handle self, nb::handle start_date, nb::handle end_date, nb::handle keys,
                      nb::handle mmap) {
    io::require_list(keys, "keys", /*allow_none=*/true);
    nb::object chosen = nb::borrow(keys);
    if (keys.is_none()) {
        // Only what the store holds, in schema order: absent datasets are no error.
        nb::object metadata = self.attr("load_metadata")();
        nb::object datasets = metadata.attr("get")("datasets");
        if (datasets.is_none()) datasets = nb::dict();
        nb::list present;
        for (nb::handle key : self.attr("matrix_dtype"))
            if (io::contains(datasets, key)) present.append(key);
        chosen = present;
    }
    nb::object result =
        super_of(self).attr("load")("start_date"_a = start_date, "end_date"_a = end_date,
                                    "keys"_a = chosen, "mmap"_a = nb::bool_(io::truth(mmap)));
    if (!io::is_dict(result))
        io::raise_type_error("store load must return a dict, got " + io::type_name_of(result));
    return result;
}

// d[key], inserting an empty dict when the key is missing.
static nb::dict dict_entry(nb::handle d, const char* key) {
    nb::object value = d.attr("get")(key);
    if (!io::is_dict(value)) {
        value = nb::dict();
        d[key] = value;
    }
    return nb::borrow<nb::dict>(value);
}

static nb::list unique_names(nb::handle names) {
    nb::list out;
    nb::set seen;
    for (nb::handle name : names) {
        if (seen.contains(name)) continue;
        seen.add(name);
        out.append(name);
    }
    return out;
}

static std::string text_of(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

// Two names with one dataset key would share one dataset, the second reading
// the first one's matrix. Names the store already lists count too.
static void require_distinct_keys(nb::handle listed, nb::handle requested, nb::handle key_of) {
    nb::dict owner;  // dataset key -> the name it belongs to
    for (nb::handle name : listed) {
        nb::object key = key_of(name);
        if (!owner.contains(key)) owner[key] = name;
    }
    for (nb::handle name : requested) {
        nb::object key = key_of(name);
        if (!owner.contains(key)) {
            owner[key] = name;
            continue;
        }
        nb::object other = owner[key];
        if (!other.equal(name))
            io::raise_value_error("成分股因子名对应同一数据集: " + text_of(other) + ", " +
                                  text_of(name) + " -> " + text_of(key));
    }
}

nb::list store_add_component_matrices(nb::handle self, nb::handle component_matrices,
                                      nb::handle component_names) {
    io::require_dict(component_matrices, "component_matrices");
    io::require_list(component_names, "component_names");
    nb::object key_of = module_attr("component_dataset_key");
    nb::object float_dtype = module_attr("FLOAT_STORAGE_DTYPE");
    nb::object store_dir = self.attr("store_dir");

    nb::object metadata = self.attr("load_metadata")();
    nb::object old_meta = metadata.attr("get")("meta");
    nb::list requested = parse_name_list(component_names);
    require_distinct_keys(
        parse_name_list(io::is_dict(old_meta) ? old_meta.attr("get")("component_names")
                                              : nb::none()),
        requested, key_of);

    nb::dict datasets = dict_entry(metadata, "datasets");
    nb::list written;
    nb::dict staged;  // key -> entry of each file this call wrote
    try {
        for (nb::handle name : requested) {
            nb::object key = key_of(name);
            if (datasets.contains(key))
                continue;  // existing datasets are never validated or rewritten
            nb::object matrix = component_matrices.attr("get")(name);
            if (matrix.is_none() || nb::len(matrix) == 0)
                io::raise_value_error("缺失成分股矩阵为空，无法补充: " + text_of(name));
            // Listed at once, so a duplicate later in this call is skipped above.
            nb::object entry = self.attr("_write_matrix")(store_dir, key, matrix, float_dtype);
            datasets[key] = entry;
            staged[key] = entry;
            written.append(name);
        }
        if (nb::len(written) == 0) return written;

        nb::dict meta = dict_entry(metadata, "meta");
        nb::list merged = parse_name_list(meta.attr("get")("component_names"));
        for (nb::handle name : component_names) merged.append(name);
        merged = unique_names(parse_name_list(merged));
        meta["component_names"] = merged;

        nb::dict key_map;
        nb::object old_map = meta.attr("get")("component_dataset_keys");
        if (io::is_dict(old_map)) key_map = nb::borrow<nb::dict>(old_map.attr("copy")());
        for (nb::handle name : merged) key_map[name] = key_of(name);
        meta["component_dataset_keys"] = key_map;

        nb::object now = io::now_iso();
        metadata["updated_at"] = now;
        meta["updated_at"] = now;
        meta["component_supplemented_at"] = now;
    } catch (...) {
        // Nothing of a failed call stays on disk.
        self.attr("_discard")(staged);
        throw;
    }
    // The base's commit: the metadata replaced crash-safely (temporary file,
    // fsync, rename; the staged files removed if that fails), then the manifest.
    self.attr("_commit")(metadata, staged);
    return written;
}

}  // namespace mirtaly::prepare
