// The one place where Python objects become arrays and back. Everything that
// touches pandas or numpy on behalf of a kernel goes through these helpers,
// one header per concern:
//   modules  importing modules, names bound at load
//   args     argument rules and the exceptions a user's mistake raises
//   arrays   numpy buffers as kernel views, fresh result arrays
//   frames   reading and building DataFrames, Series and indexes
//   dates    the one date rule (YYYYMMDD text), datetime indexes
//   codes    the one stock-code rule (6-digit text)
//   labels   factorized codes, label alignment as pandas arithmetic aligns
//   market   label alignment of the market frames of a simulation
//   group    the factor group backtest: its frames in, its frames out
#pragma once

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include "interop/args.hpp"
#include "interop/arrays.hpp"
#include "interop/codes.hpp"
#include "interop/dates.hpp"
#include "interop/frames.hpp"
#include "interop/group.hpp"
#include "interop/labels.hpp"
#include "interop/market.hpp"
#include "interop/modules.hpp"
