// Recursive (IIR) filtering: the design of a cascade of second-order
// sections from an order-4 analogue prototype, its application to a sample
// array, and the band-pass entry that filters every trace of a record.
//
// The design follows the classic recursive-filter scheme of seismic analysis
// codes: an analogue low-pass prototype (Butterworth, Bessel, Chebyshev type
// I or II) is transformed to the requested band in the s-plane, normalised
// to its pass-band gain, and mapped to z by the bilinear transform
// s = (1 - z^-1) / (1 + z^-1), with the corners pre-warped so that the
// digital filter has them where the analogue one had them.
//
// Frequencies are in cycles per unit of the sampling interval; only f * ts
// matters, so MHz with microseconds and Hz with seconds give the same filter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wave/wave_data.h"

namespace qae {

inline constexpr int kMaxIirSections = 10;

// A cascade of second-order sections. Section i has the numerator
// coefficients numerator[3i .. 3i+2] of z^0, z^-1, z^-2 and the denominator
// coefficients denominator[3i .. 3i+2], whose first value is exactly 1.
struct IirSectionSet {
  double numerator[3 * kMaxIirSections] = {};
  double denominator[3 * kMaxIirSections] = {};
  int sectionCount = 0;
};

// Designs an order-4 filter into `sections`.
//
// `prototype`: "BU" Butterworth, "BE" Bessel, "C1" Chebyshev type I, "C2"
// Chebyshev type II (only the first two characters count, so "BESSEL" is
// "BE"). `band_type`: "LP", "HP", "BP" or "BR" (first two characters).
// `a` is the ratio of pass-band to stop-band amplitude and `trbndw` the
// transition bandwidth as a fraction of the corner; both matter only to C1
// and C2. `fl` and `fh` are the corners (LP uses fh only, HP fl only) and
// `ts` the sampling interval.
//
// Band-pass and band-reject designs have 4 sections, low- and high-pass 2.
// Band-pass has the prototype's pass-band gain at the frequency whose warped
// value is sqrt(flw * fhw); band-reject has it at zero frequency.
//
// Returns 1 on success. Returns 0, with sectionCount 0 and every coefficient
// 0 (a cascade that ApplyIirSections leaves as a no-op), when the prototype
// is unknown (the two lines "filter: Unknown Analog filter prototype: '%s'"
// and "        Expected: BU, BESSEL, C1, C2" then go to stderr), when the
// band type is unknown, or when the parameters yield a coefficient that is
// not finite (e.g. a corner at or above half the sampling rate, or a <= 1
// for a Chebyshev design).
int DesignIirFilter(std::string_view prototype, std::string_view band_type, double a,
                    double trbndw, double fl, double fh, double ts, IirSectionSet* sections);

// Filters samples[0 .. sample_count) in place through `section_count`
// sections (clamped to 0 .. kMaxIirSections): one causal forward pass per
// section, each starting from rest, with 64-bit state and arithmetic and
// each section's output stored rounded to 32 bits before the next section
// reads it. Nothing happens for sample_count <= 0.
void ApplyIirSections(float* samples, int64_t sample_count, const double* numerator,
                      const double* denominator, int section_count);
void ApplyIirSections(float* samples, int64_t sample_count, const IirSectionSet& sections);

// Band-pass filters every trace of `record` in place with one order-4
// Butterworth design for the sampling interval of trace 0 (rounded to 32
// bits); traces with other intervals get the same coefficients. Traces
// without samples are left alone.
//
// Returns 1 when the record was filtered, or had no traces and so nothing to
// filter. Returns 0 and leaves every sample unchanged when the corners cannot
// give a band-pass: either is not finite, fl <= 0, fl >= fh, fh at or above
// half the sampling rate (fh * ts >= 0.5), or the interval of trace 0 is not
// a positive finite number. `message` (if not null) then says why in one
// line naming the values; it is cleared on success.
int FilterRecordBandpass(XL_WaveData& record, float fl, float fh, std::string* message = nullptr);

}  // namespace qae
