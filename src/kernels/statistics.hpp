// Every summary statistic kernel, for callers that want them all.
#pragma once

#include "kernels/holdings.hpp"
#include "kernels/nan_reductions.hpp"
#include "kernels/period_metrics.hpp"
