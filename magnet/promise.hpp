// The precise mode's promise, judged on the windings' own field, band by band, with the design report's
// definitions (python/expcoil/analysis.py): on the reference line x = 0, z = 0 across the band (201
// points) the rms of By / (sign Bmax e^(k d)) - 1, the least-squares k of ln|By| against d (k_fit) and
// the largest |k(d) / k - 1| of the local index d ln|By| / dd; along the reference path (x = 0, bent with
// the windings) at 11 heights across the band, the spread max / min - 1 of the effective lengths
// (integral of By ds over the centre field) and the least-squares k of ln|integral of By ds| (k_int).
#pragma once

#include <string>
#include <vector>

#include "magnet/field_evaluator.hpp"
#include "magnet/records.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

struct PromiseLimits {
  double rms_deviation = 0.0005;
  double k_fit_error = 0.002;
  double local_index_error = 0.02;
  double effective_length_spread = 0.003;
  double k_int_error = 0.003;
};

struct BandFigures {
  std::string band;                      // "lower" or "upper"
  double rms_deviation = 0.0;            // from the law
  double mean_deviation = 0.0;           // from the law: its level (not part of the promise)
  double k_fit_error = 0.0;              // k_fit / k - 1
  double max_local_index_error = 0.0;    // max |k(d) / k - 1|
  double effective_length_spread = 0.0;  // max / min - 1
  double k_int_error = 0.0;              // k_int / k - 1

  // Every figure a number within its limit.
  bool meets(const PromiseLimits& limits = {}) const;
};

// The figures of every band of `magnet` (the lower one, and the upper one where the join height is
// positive) for the field `field` gives; `mesh_z` is the coil mesh's z (the path runs over its length).
std::vector<BandFigures> promise_figures(const MagnetSpec& magnet, const FieldEvaluator& field,
                                         const std::vector<double>& mesh_z, unsigned workers = 0);

// "lower band: rms deviation from the law 0.0041 %, k_fit/k - 1 -0.013 %, ...", for standard output.
std::string promise_text(const BandFigures& figures);
// The figures that miss their limit, as "rms deviation from the law 0.08 % (promise 0.05 %)"; empty
// when it meets the promise.
std::string promise_misses(const BandFigures& figures, const PromiseLimits& limits = {});

}  // namespace expcoil
