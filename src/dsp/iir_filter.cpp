#include "dsp/iir_filter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include "dsp/iir_lanes.h"
#include "util/text.h"

namespace qae {

namespace {

using Complex = std::complex<double>;

constexpr int kOrder = 4;
constexpr int kMaxRoots = 10;

// The design keeps the rounded constants of the scheme it follows, so that
// its coefficients agree with those of other implementations of it to the
// last digits: pi in the prototypes, 2*pi in the band transforms and corner
// scaling, and the full-precision 2*pi only in the pre-warping.
constexpr double kPrototypePi = 3.14159265;
constexpr double kTwoPi = 6.2831853;
constexpr double kTwoPiSquared = 39.4784175141361;
constexpr double kWarpTwoPi = 6.283185307179586;

// What a prototype entry stands for: a conjugate pole pair, a conjugate pole
// pair with a conjugate pair of zeros on the imaginary axis, or one real pole.
enum class RootType { kConjugatePoles, kConjugatePolesAndZeros, kSinglePole };

struct AnalogPrototype {
  Complex poles[kMaxRoots];
  Complex zeros[kMaxRoots];
  RootType types[kMaxRoots] = {};
  int count = 0;
  double gain = 0.0;  // pass-band gain
};

double SquaredMagnitude(Complex x) { return x.real() * x.real() + x.imag() * x.imag(); }

bool CodeIs(std::string_view code, const char* expected) {
  return code.size() >= 2 && code[0] == expected[0] && code[1] == expected[1];
}

void ButterworthPrototype(AnalogPrototype* p) {
  // Poles on the left half of the unit circle at pi * (0.5 + (2k - 1) / 8).
  for (int i : {1, 3}) {
    const double angle = kPrototypePi * (0.5 + i * 0.125);
    p->poles[p->count] = Complex(std::cos(angle), std::sin(angle));
    p->types[p->count++] = RootType::kConjugatePoles;
  }
  p->gain = 1.0;
}

void BesselPrototype(AnalogPrototype* p) {
  // Order-4 Bessel poles normalised to -3 dB at unit frequency.
  p->poles[0] = Complex(-0.9952088, 1.2571058);
  p->poles[1] = Complex(-1.3700679, 0.4102497);
  p->types[0] = p->types[1] = RootType::kConjugatePoles;
  p->count = 2;
  p->gain = 1.0;
}

void ChebyshevIPrototype(double a, double trbndw, AnalogPrototype* p) {
  // Ripple from the stop-band attenuation `a` reached at 1 + trbndw times the
  // corner (the order-n Chebyshev polynomial there is g).
  const double omega_r = 1.0 + trbndw;
  const double alpha = std::pow(omega_r + std::sqrt(omega_r * omega_r - 1.0), kOrder);
  const double g = (alpha * alpha + 1.0) / (2.0 * alpha);
  const double eps = std::sqrt(a * a - 1.0) / g;
  const double gamma = std::exp(std::log((1.0 + std::sqrt(1.0 + eps * eps)) / eps) * 0.25);
  const double s = 0.5 * (gamma - 1.0 / gamma);
  const double c = 0.5 * (gamma + 1.0 / gamma);
  for (int k = 1; k <= kOrder / 2; ++k) {
    const double theta = (2 * k - 1) * kPrototypePi / (2 * kOrder);
    p->poles[p->count] = Complex(-s * std::sin(theta), c * std::cos(theta));
    p->types[p->count++] = RootType::kConjugatePoles;
  }
  // An even order has its ripple minimum at d.c.
  p->gain = 1.0 / std::sqrt(1.0 + eps * eps);
}

void ChebyshevIIPrototype(double a, double trbndw, AnalogPrototype* p) {
  // Poles are the inverses of Chebyshev-I poles for eps = 1/sqrt(a^2 - 1),
  // scaled to the stop-band edge omega_r; zeros lie on the imaginary axis.
  const double omega_r = 1.0 + trbndw;
  const double gamma = std::exp(std::log(a + std::sqrt(a * a - 1.0)) * 0.25);
  const double s = 0.5 * (gamma - 1.0 / gamma);
  const double c = 0.5 * (gamma + 1.0 / gamma);
  for (int k = 1; k <= kOrder / 2; ++k) {
    const double theta = (2 * k - 1) * kPrototypePi / (2 * kOrder);
    const double alpha = -s * std::sin(theta);
    const double beta = c * std::cos(theta);
    const double d = alpha * alpha + beta * beta;
    p->poles[p->count] = Complex(omega_r * alpha / d, -omega_r * beta / d);
    p->zeros[p->count] = Complex(0.0, omega_r / std::cos(theta));
    p->types[p->count++] = RootType::kConjugatePolesAndZeros;
  }
  p->gain = 1.0;
}

// Writes one analogue section c0 + c1*s + c2*s^2 over d0 + d1*s + d2*s^2.
void PutSection(IirSectionSet* f, double n0, double n1, double n2, double d0, double d1,
                double d2) {
  if (f->sectionCount >= kMaxIirSections) return;
  double* sn = f->numerator + 3 * f->sectionCount;
  double* sd = f->denominator + 3 * f->sectionCount;
  sn[0] = n0;
  sn[1] = n1;
  sn[2] = n2;
  sd[0] = d0;
  sd[1] = d1;
  sd[2] = d2;
  ++f->sectionCount;
}

void ScaleFirstNumerator(IirSectionSet* f, double scale) {
  for (int i = 0; i < 3; ++i) f->numerator[i] *= scale;
}

void LowPassSections(const AnalogPrototype& p, IirSectionSet* f) {
  for (int i = 0; i < p.count; ++i) {
    const Complex pole = p.poles[i];
    const Complex zero = p.zeros[i];
    switch (p.types[i]) {
      case RootType::kConjugatePolesAndZeros: {
        const double k = SquaredMagnitude(pole) / SquaredMagnitude(zero);
        PutSection(f, SquaredMagnitude(zero) * k, -2.0 * zero.real() * k, k,
                   SquaredMagnitude(pole), -2.0 * pole.real(), 1.0);
        break;
      }
      case RootType::kConjugatePoles:
        PutSection(f, SquaredMagnitude(pole), 0.0, 0.0, SquaredMagnitude(pole), -2.0 * pole.real(),
                   1.0);
        break;
      case RootType::kSinglePole:
        PutSection(f, -pole.real(), 0.0, 0.0, -pole.real(), 1.0, 0.0);
        break;
    }
  }
  ScaleFirstNumerator(f, p.gain);
}

void HighPassSections(const AnalogPrototype& p, IirSectionSet* f) {
  for (int i = 0; i < p.count; ++i) {
    const Complex pole = p.poles[i];
    const Complex zero = p.zeros[i];
    switch (p.types[i]) {
      case RootType::kConjugatePolesAndZeros: {
        const double k = SquaredMagnitude(pole) / SquaredMagnitude(zero);
        PutSection(f, k, -2.0 * zero.real() * k, SquaredMagnitude(zero) * k, 1.0,
                   -2.0 * pole.real(), SquaredMagnitude(pole));
        break;
      }
      case RootType::kConjugatePoles:
        PutSection(f, 0.0, 0.0, SquaredMagnitude(pole), 1.0, -2.0 * pole.real(),
                   SquaredMagnitude(pole));
        break;
      case RootType::kSinglePole:
        PutSection(f, 0.0, -pole.real(), 0.0, 1.0, -pole.real(), 0.0);
        break;
    }
  }
  ScaleFirstNumerator(f, p.gain);
}

// Moves the unit corner of a low- or high-pass cascade to w (s -> s / w).
void ScaleCorner(IirSectionSet* f, double fw) {
  const double w = kTwoPi * fw;
  for (int i = 0; i < f->sectionCount; ++i) {
    f->numerator[3 * i + 1] /= w;
    f->numerator[3 * i + 2] /= w * w;
    f->denominator[3 * i + 1] /= w;
    f->denominator[3 * i + 2] /= w * w;
  }
}

// The two roots of r^2 - b*x*r + a = 0, the images of a low-pass root x under
// s -> (s^2 + a) / (b s).
void SplitRoot(Complex x, double a, double b, Complex* r1, Complex* r2) {
  const Complex u = b * x;
  const Complex root = std::sqrt(std::pow(u, 2.0) - 4.0 * a);
  *r1 = 0.5 * (u + root);
  *r2 = 0.5 * (u - root);
}

void BandPassSections(const AnalogPrototype& p, double flw, double fhw, IirSectionSet* f) {
  const double a = kTwoPiSquared * flw * fhw;
  const double b = kTwoPi * (fhw - flw);
  f->sectionCount = 0;
  for (int i = 0; i < p.count; ++i) {
    Complex p1, p2;
    switch (p.types[i]) {
      case RootType::kConjugatePolesAndZeros: {
        Complex z1, z2;
        SplitRoot(p.zeros[i], a, b, &z1, &z2);
        SplitRoot(p.poles[i], a, b, &p1, &p2);
        PutSection(f, SquaredMagnitude(z1), -2.0 * z1.real(), 1.0, SquaredMagnitude(p1),
                   -2.0 * p1.real(), 1.0);
        PutSection(f, SquaredMagnitude(z2), -2.0 * z2.real(), 1.0, SquaredMagnitude(p2),
                   -2.0 * p2.real(), 1.0);
        break;
      }
      case RootType::kConjugatePoles:
        SplitRoot(p.poles[i], a, b, &p1, &p2);
        PutSection(f, 0.0, b, 0.0, SquaredMagnitude(p1), -2.0 * p1.real(), 1.0);
        PutSection(f, 0.0, b, 0.0, SquaredMagnitude(p2), -2.0 * p2.real(), 1.0);
        break;
      case RootType::kSinglePole:
        PutSection(f, 0.0, b, 0.0, a, -b * p.poles[i].real(), 1.0);
        break;
    }
  }
  // Pass-band gain at the geometric centre s = j*sqrt(a), which the
  // transform maps to d.c. of the prototype.
  const Complex s(0.0, std::sqrt(a));
  Complex h(1.0, 0.0);
  for (int i = 0; i < f->sectionCount; ++i) {
    const double* sn = f->numerator + 3 * i;
    const double* sd = f->denominator + 3 * i;
    h *= (sn[0] + sn[1] * s + sn[2] * s * s) / (sd[0] + sd[1] * s + sd[2] * s * s);
  }
  ScaleFirstNumerator(f, (p.gain * std::conj(h) / SquaredMagnitude(h)).real());
}

void BandRejectSections(const AnalogPrototype& p, double flw, double fhw, IirSectionSet* f) {
  const double a = kTwoPiSquared * flw * fhw;
  const double b = kTwoPi * (fhw - flw);
  f->sectionCount = 0;
  for (int i = 0; i < p.count; ++i) {
    Complex p1, p2;
    switch (p.types[i]) {
      case RootType::kConjugatePolesAndZeros: {
        Complex z1, z2;
        SplitRoot(1.0 / p.zeros[i], a, b, &z1, &z2);
        SplitRoot(1.0 / p.poles[i], a, b, &p1, &p2);
        PutSection(f, SquaredMagnitude(z1), -2.0 * z1.real(), 1.0, SquaredMagnitude(p1),
                   -2.0 * p1.real(), 1.0);
        PutSection(f, SquaredMagnitude(z2), -2.0 * z2.real(), 1.0, SquaredMagnitude(p2),
                   -2.0 * p2.real(), 1.0);
        break;
      }
      case RootType::kConjugatePoles:
        SplitRoot(1.0 / p.poles[i], a, b, &p1, &p2);
        PutSection(f, a, 0.0, 1.0, SquaredMagnitude(p1), -2.0 * p1.real(), 1.0);
        PutSection(f, a, 0.0, 1.0, SquaredMagnitude(p2), -2.0 * p2.real(), 1.0);
        break;
      case RootType::kSinglePole: {
        const double re = p.poles[i].real();
        PutSection(f, a, 0.0, 1.0, -a * re, b, -re);
        break;
      }
    }
  }
  // Pass-band gain at d.c.
  double h = 1.0;
  for (int i = 0; i < f->sectionCount; ++i) h *= f->numerator[3 * i] / f->denominator[3 * i];
  ScaleFirstNumerator(f, p.gain / std::fabs(h));
}

// s = (1 - z^-1) / (1 + z^-1), applied to every section and normalised so
// that the denominator starts with 1.
void Bilinear(IirSectionSet* f) {
  for (int i = 0; i < f->sectionCount; ++i) {
    double* sn = f->numerator + 3 * i;
    double* sd = f->denominator + 3 * i;
    const double a0 = sd[0];
    const double a1 = sd[1];
    const double a2 = sd[2];
    const double scale = a0 + a1 + a2;
    sd[0] = 1.0;
    sd[1] = 2.0 * (a0 - a2) / scale;
    sd[2] = (a0 - a1 + a2) / scale;
    const double b0 = sn[0];
    const double b1 = sn[1];
    const double b2 = sn[2];
    sn[0] = (b0 + b1 + b2) / scale;
    sn[1] = 2.0 * (b0 - b2) / scale;
    sn[2] = (b0 - b1 + b2) / scale;
  }
}

// The analogue corner (in cycles per unit) whose bilinear image is f.
double Prewarp(double f, double ts) {
  constexpr double kHalfPeriod = 2.0;
  const double angle = kWarpTwoPi * (f * ts / 2.0) * kHalfPeriod / 2.0;
  return 2.0 * std::tan(angle) / kHalfPeriod / kWarpTwoPi;
}

bool AllFinite(const IirSectionSet& f) {
  for (int i = 0; i < 3 * f.sectionCount; ++i) {
    if (!std::isfinite(f.numerator[i]) || !std::isfinite(f.denominator[i])) return false;
  }
  return true;
}

// The cascade for any section count. Running all sections on one sample
// before the next gives the same numbers as one full pass per section, since
// each section sees exactly the rounded outputs of the one before.
void ApplyGeneric(float* x, int64_t n, const double* num, const double* den, int count) {
  double x1[kMaxIirSections] = {};
  double x2[kMaxIirSections] = {};
  double y1[kMaxIirSections] = {};
  double y2[kMaxIirSections] = {};
  for (int64_t i = 0; i < n; ++i) {
    double in = x[i];
    for (int s = 0; s < count; ++s) {
      const double* b = num + 3 * s;
      const double* a = den + 3 * s;
      const double y = b[0] * in + b[1] * x1[s] + b[2] * x2[s] - (a[1] * y1[s] + a[2] * y2[s]);
      y2[s] = y1[s];
      y1[s] = y;
      x2[s] = x1[s];
      x1[s] = in;
      in = static_cast<float>(y);
    }
    x[i] = static_cast<float>(in);
  }
}

// The same for a count known at compile time, so that the state stays in
// registers and the recursions of the sections overlap in the pipeline.
template <int kCount>
void ApplyFixed(float* x, int64_t n, const double* num, const double* den) {
  double b0[kCount], b1[kCount], b2[kCount], a1[kCount], a2[kCount];
  double x1[kCount] = {}, x2[kCount] = {}, y1[kCount] = {}, y2[kCount] = {};
  for (int s = 0; s < kCount; ++s) {
    b0[s] = num[3 * s];
    b1[s] = num[3 * s + 1];
    b2[s] = num[3 * s + 2];
    a1[s] = den[3 * s + 1];
    a2[s] = den[3 * s + 2];
  }
  for (int64_t i = 0; i < n; ++i) {
    double in = x[i];
    for (int s = 0; s < kCount; ++s) {
      const double y = b0[s] * in + b1[s] * x1[s] + b2[s] * x2[s] - (a1[s] * y1[s] + a2[s] * y2[s]);
      y2[s] = y1[s];
      y1[s] = y;
      x2[s] = x1[s];
      x1[s] = in;
      in = static_cast<float>(y);
    }
    x[i] = static_cast<float>(in);
  }
}

}  // namespace

int DesignIirFilter(std::string_view prototype, std::string_view band_type, double a,
                    double trbndw, double fl, double fh, double ts, IirSectionSet* sections) {
  if (sections == nullptr) return 0;
  *sections = IirSectionSet{};
  AnalogPrototype proto;
  if (CodeIs(prototype, "BU")) {
    ButterworthPrototype(&proto);
  } else if (CodeIs(prototype, "BE")) {
    BesselPrototype(&proto);
  } else if (CodeIs(prototype, "C1")) {
    ChebyshevIPrototype(a, trbndw, &proto);
  } else if (CodeIs(prototype, "C2")) {
    ChebyshevIIPrototype(a, trbndw, &proto);
  } else {
    const std::string code(prototype);
    std::fprintf(stderr, "filter: Unknown Analog filter prototype: '%s'\n", code.c_str());
    std::fprintf(stderr, "        Expected: BU, BESSEL, C1, C2\n");
    return 0;
  }

  const double flw = Prewarp(fl, ts);
  const double fhw = Prewarp(fh, ts);
  if (CodeIs(band_type, "BP")) {
    BandPassSections(proto, flw, fhw, sections);
  } else if (CodeIs(band_type, "BR")) {
    BandRejectSections(proto, flw, fhw, sections);
  } else if (CodeIs(band_type, "LP")) {
    LowPassSections(proto, sections);
    ScaleCorner(sections, fhw);
  } else if (CodeIs(band_type, "HP")) {
    HighPassSections(proto, sections);
    ScaleCorner(sections, flw);
  } else {
    // No sections were built, so there is nothing to map to z.
    return 0;
  }
  Bilinear(sections);
  if (!AllFinite(*sections)) {
    *sections = IirSectionSet{};
    return 0;
  }
  return 1;
}

void ApplyIirSections(float* samples, int64_t sample_count, const double* numerator,
                      const double* denominator, int section_count) {
  if (samples == nullptr || sample_count <= 0) return;
  const int count = std::clamp(section_count, 0, kMaxIirSections);
  switch (count) {
    case 0:
      return;
    case 2:
      ApplyFixed<2>(samples, sample_count, numerator, denominator);
      return;
    case 4:
      ApplyFixed<4>(samples, sample_count, numerator, denominator);
      return;
    default:
      ApplyGeneric(samples, sample_count, numerator, denominator, count);
      return;
  }
}

void ApplyIirSections(float* samples, int64_t sample_count, const IirSectionSet& sections) {
  ApplyIirSections(samples, sample_count, sections.numerator, sections.denominator,
                   sections.sectionCount);
}

int FilterRecordBandpass(XL_WaveData& record, float fl, float fh, std::string* message) {
  if (message) message->clear();
  if (record.TraceCount() == 0) return 1;
  auto refuse = [&](std::string why) {
    if (message) *message = std::move(why);
    return 0;
  };
  const double f_low = fl;
  const double f_high = fh;
  if (!std::isfinite(f_low) || !std::isfinite(f_high)) {
    return refuse(StrPrintf("band-pass corners %g and %g are not both finite", f_low, f_high));
  }
  // All traces share the coefficients of trace 0's interval, as stored in
  // single precision (checked first: a double beyond the float range has no
  // defined conversion).
  const double interval = record.Trace(0).samplingInterval;
  const double ts = std::isfinite(interval) && std::fabs(interval) <= FLT_MAX
                        ? static_cast<double>(static_cast<float>(interval))
                        : interval;
  if (!std::isfinite(ts) || ts <= 0.0 || ts > FLT_MAX) {
    return refuse(StrPrintf(
        "band-pass needs a positive sampling interval; the first trace has %g", interval));
  }
  if (f_low <= 0.0) {
    return refuse(StrPrintf("band-pass low corner %g must be above 0", f_low));
  }
  if (f_low >= f_high) {
    return refuse(
        StrPrintf("band-pass low corner %g must be below the high corner %g", f_low, f_high));
  }
  // At f*ts = 0.5 the pre-warping tangent is infinite and beyond it
  // negative: the design would be garbage.
  if (f_high * ts >= 0.5) {
    return refuse(StrPrintf(
        "band-pass high corner %g is at or above half the sampling rate %g (sampling interval %g)",
        f_high, 0.5 / ts, ts));
  }
  IirSectionSet sections;
  if (DesignIirFilter("BU", "BP", 1.0, 1.0, f_low, f_high, ts, &sections) != 1) {
    return refuse(StrPrintf("band-pass %g to %g cannot be designed for sampling interval %g",
                            f_low, f_high, ts));
  }
  std::vector<float*> traces;
  std::vector<int64_t> counts;
  for (int i = 0; i < record.TraceCount(); ++i) {
    XL_WaveTrace& trace = record.Trace(i);
    traces.push_back(trace.samples.data());
    counts.push_back(std::max<int64_t>(0, std::min(trace.sampleCount, trace.AllocatedSlots())));
  }
  ApplyIirSectionsToTraces(traces.data(), counts.data(), static_cast<int>(traces.size()), sections);
  return 1;
}

}  // namespace qae
