// Argument rules and the exceptions a user's mistake raises.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nb = nanobind;

namespace mirtaly::interop {

// ---- errors: the promised exception types, with the message as given ----

[[noreturn]] void raise_error(nb::handle exc_type, const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_key_error(nb::handle key);
// mirtaly.exceptions.MirtalyError
[[noreturn]] void raise_mirtaly_error(const std::string& message);

// ---- types ----------------------------------------------------------------

std::string type_name_of(nb::handle obj);
// isinstance(obj, type); an error raised by the check propagates.
bool is_instance(nb::handle obj, nb::handle type);
bool is_text(nb::handle obj);
bool is_dict(nb::handle obj);
// `key in container`; an error raised by the test propagates.
bool contains(nb::handle container, nb::handle key);

// Exact type match: subclasses are rejected, as the public contracts demand.
void require_str(nb::handle obj, const char* arg, bool allow_none = false);
void require_list(nb::handle obj, const char* arg, bool allow_none = false);
void require_dict(nb::handle obj, const char* arg, bool allow_none = false);
// str or os.PathLike.
void require_path_like(nb::handle obj, const char* arg);

bool is_dataframe(nb::handle obj);
bool is_series(nb::handle obj);
void require_dataframe(nb::handle obj, const char* arg);
void require_series(nb::handle obj, const char* arg);

// ---- conversions on entry -------------------------------------------------

// float(obj) / int(obj) with a TypeError for anything that is not a number
// (text is not a number here even when float() could parse it).
double to_float(nb::handle obj, const char* arg);
std::int64_t to_int(nb::handle obj, const char* arg);
bool truth(nb::handle obj);

// An int (not a bool) that fits 64 bits; nothing for anything else.
std::optional<long long> integer_of(nb::handle obj);
// A str's UTF-8 text without the blanks around it, valid while `obj` lives;
// nothing for anything else.
std::optional<std::string_view> trimmed_text_of(nb::handle obj);

}  // namespace mirtaly::interop
