// The recursive filter is checked against properties that do not depend on
// how it is coded: the magnitude responses of the textbook analogue
// prototypes mapped through the bilinear transform, the DFT of its impulse
// response, and filter outputs computed by an independent implementation.
#include "dsp/iir_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/test_paths.h"

namespace qae {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// The design's 7-digit Bessel poles and rounded pi limit its agreement with
// the exact textbook responses to about 1e-7; 2e-6 leaves room and still
// catches any wrong coefficient, section or gain.
constexpr double kResponseTolerance = 2e-6;

// H(e^{j 2 pi f ts}) of the cascade, evaluated directly from the sections.
Complex CascadeResponse(const IirSectionSet& s, double f_ts) {
  const Complex z1 = std::polar(1.0, -2.0 * kPi * f_ts);
  const Complex z2 = z1 * z1;
  Complex h = 1.0;
  for (int i = 0; i < s.sectionCount; ++i) {
    const double* b = s.numerator + 3 * i;
    const double* a = s.denominator + 3 * i;
    h *= (b[0] + b[1] * z1 + b[2] * z2) / (a[0] + a[1] * z1 + a[2] * z2);
  }
  return h;
}

double ChebyshevT4(double x) { return 8 * x * x * x * x - 8 * x * x + 1; }

// Magnitude of the order-4 analogue low-pass prototypes at normalised
// frequency w (corner 1), written from their textbook definitions.
double PrototypeMagnitude(const std::string& code, double w, double a, double trbndw) {
  const double omega_r = 1.0 + trbndw;
  if (code == "BU") return 1.0 / std::sqrt(1.0 + std::pow(w, 8));
  if (code == "BE") {
    // Bessel polynomial s^4 + 10 s^3 + 45 s^2 + 105 s + 105, scaled to -3 dB
    // at w = 1.
    const Complex s(0.0, w * 2.113917674904216);
    return std::abs(105.0 / ((((s + 10.0) * s + 45.0) * s + 105.0) * s + 105.0));
  }
  if (code == "C1") {
    // Equiripple pass band; attenuation a reached at omega_r.
    const double eps = std::sqrt(a * a - 1.0) / std::cosh(4.0 * std::acosh(omega_r));
    const double t = ChebyshevT4(w);
    return 1.0 / std::sqrt(1.0 + eps * eps * t * t);
  }
  // C2: flat pass band, equiripple stop band at 1/a from omega_r on.
  const double eps2 = 1.0 / (a * a - 1.0);
  const double u = w / omega_r;
  const double p = 8.0 - 8.0 * u * u + u * u * u * u;  // T4(1/u) * u^4
  const double num = eps2 * p * p;
  return std::sqrt(num / (std::pow(u, 8) + num));
}

// The prototype frequency that a band transform maps digital frequency f to.
double PrototypeFrequency(const std::string& band, double f_ts, double fl_ts, double fh_ts) {
  const double w = std::tan(kPi * f_ts);
  const double wl = std::tan(kPi * fl_ts);
  const double wh = std::tan(kPi * fh_ts);
  if (band == "LP") return w / wh;
  if (band == "HP") return wl / w;
  if (band == "BP") return std::fabs((w * w - wl * wh) / (w * (wh - wl)));
  return std::fabs(w * (wh - wl) / (wl * wh - w * w));  // BR
}

std::vector<float> ReadF32(const std::string& name) {
  std::ifstream in(test::DataFile("iir/" + name), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

std::unique_ptr<XL_WaveTrace> MakeTrace(const std::vector<float>& values, double interval) {
  auto t = std::make_unique<XL_WaveTrace>(static_cast<int32_t>(values.size()));
  std::copy(values.begin(), values.end(), t->samples.begin());
  t->samplingInterval = interval;
  return t;
}

std::vector<float> Samples(const XL_WaveTrace& t) {
  return std::vector<float>(t.samples.begin(), t.samples.begin() + t.sampleCount);
}

TEST(IirFilterTest, ButterworthBandPassHasUnitGainAtWarpedCentreAndZerosAtDcAndNyquist) {
  for (const auto& [fl, fh, ts] : {std::tuple{0.05, 0.3, 1.0}, std::tuple{0.1, 0.12, 1.0},
                                   std::tuple{0.025, 0.15, 2.0}, std::tuple{120e3, 400e3, 1e-6}}) {
    IirSectionSet s;
    ASSERT_EQ(DesignIirFilter("BU", "BP", 1.0, 1.0, fl, fh, ts, &s), 1);
    ASSERT_EQ(s.sectionCount, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.denominator[3 * i], 1.0);
    // The centre whose tangent is the geometric mean of the corners' tangents.
    const double centre =
        std::atan(std::sqrt(std::tan(kPi * fl * ts) * std::tan(kPi * fh * ts))) / kPi;
    EXPECT_NEAR(std::abs(CascadeResponse(s, centre)), 1.0, 1e-9) << fl << " " << fh << " " << ts;
    EXPECT_NEAR(std::arg(CascadeResponse(s, centre)), 0.0, 1e-6);
    EXPECT_LT(std::abs(CascadeResponse(s, 0.0)), 1e-12);
    EXPECT_LT(std::abs(CascadeResponse(s, 0.5)), 1e-12);
  }
}

TEST(IirFilterTest, EveryPrototypeAndBandTypeHasItsAnalogueMagnitudeResponse) {
  const double a = 30.0;
  const double trbndw = 0.3;
  const double fl = 0.08;
  const double fh = 0.22;
  for (const std::string proto : {"BU", "BE", "C1", "C2"}) {
    for (const std::string band : {"LP", "HP", "BP", "BR"}) {
      IirSectionSet s;
      ASSERT_EQ(DesignIirFilter(proto, band, a, trbndw, fl, fh, 1.0, &s), 1) << proto << band;
      EXPECT_EQ(s.sectionCount, band == "BP" || band == "BR" ? 4 : 2) << proto << band;
      for (double f = 0.0025; f < 0.5; f += 0.0049) {
        const double w = PrototypeFrequency(band, f, fl, fh);
        EXPECT_NEAR(std::abs(CascadeResponse(s, f)), PrototypeMagnitude(proto, w, a, trbndw),
                    kResponseTolerance)
            << proto << " " << band << " at f = " << f;
      }
    }
  }
}

TEST(IirFilterTest, ImpulseResponseIsCausalAndMatchesTheTransferFunction) {
  for (const auto& [fl, fh] : {std::pair{0.05, 0.3}, std::pair{0.1, 0.12}}) {
    IirSectionSet s;
    ASSERT_EQ(DesignIirFilter("BU", "BP", 1.0, 1.0, fl, fh, 1.0, &s), 1);
    constexpr int kDelay = 100;
    std::vector<float> x(16384, 0.0f);
    x[kDelay] = 1.0f;
    ApplyIirSections(x.data(), static_cast<int64_t>(x.size()), s);
    for (int i = 0; i < kDelay; ++i) ASSERT_EQ(x[i], 0.0f) << "output before the impulse at " << i;
    // The DFT of the (decayed) impulse response is the frequency response;
    // single-precision storage between sections limits agreement to ~1e-6.
    for (double f = 0.01; f < 0.5; f += 0.0123) {
      Complex dft = 0.0;
      for (std::size_t n = kDelay; n < x.size(); ++n) {
        dft += static_cast<double>(x[n]) * std::polar(1.0, -2.0 * kPi * f * double(n - kDelay));
      }
      const Complex h = CascadeResponse(s, f);
      EXPECT_NEAR(std::abs(dft - h), 0.0, 1e-5) << "f = " << f;
    }
  }
}

TEST(IirFilterTest, ConstantInputDecaysToZero) {
  XL_WaveData record;
  record.AddTrace(MakeTrace(std::vector<float>(4096, 1000.0f), 1.0));
  ASSERT_EQ(FilterRecordBandpass(record, 0.05f, 0.3f), 1);
  const std::vector<float> y = Samples(record.Trace(0));
  EXPECT_NE(y[0], 0.0f);  // the step does pass at first
  for (std::size_t i = 1000; i < y.size(); ++i) ASSERT_LT(std::fabs(y[i]), 1e-3) << i;
}

// Reference outputs of an independent design and filter of the same
// Butterworth band-pass: one set stores 32-bit samples between sections as
// this filter does, the other keeps float64 throughout.
TEST(IirFilterTest, MatchesIndependentReferenceOutputs) {
  struct Case {
    const char* input;
    float fl;
    float fh;
    const char* tag;
  };
  for (const Case& c : {Case{"impulse_4096", 0.05f, 0.3f, "fl0.05_fh0.3"},
                        Case{"impulse_4096", 0.1f, 0.12f, "fl0.1_fh0.12"},
                        Case{"chirp_8192", 0.05f, 0.3f, "fl0.05_fh0.3"},
                        Case{"chirp_8192", 0.1f, 0.12f, "fl0.1_fh0.12"}}) {
    const std::string base = std::string(c.input) + "_" + c.tag + "_dt1";
    const std::vector<float> input = ReadF32(std::string(c.input) + ".f32");
    const std::vector<float> stored32 = ReadF32(base + ".spec.f32");
    const std::vector<float> float64 = ReadF32(base + ".scipy.f32");
    ASSERT_FALSE(input.empty());
    ASSERT_EQ(stored32.size(), input.size());
    ASSERT_EQ(float64.size(), input.size());

    XL_WaveData record;
    record.AddTrace(MakeTrace(input, 1.0));
    ASSERT_EQ(FilterRecordBandpass(record, c.fl, c.fh), 1);
    const std::vector<float> y = Samples(record.Trace(0));

    double peak = 0.0;
    for (float v : float64) peak = std::max(peak, std::fabs(double(v)));
    double worst_stored32 = 0.0;
    double worst_float64 = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      worst_stored32 = std::max(worst_stored32, std::fabs(double(y[i]) - stored32[i]) / peak);
      worst_float64 = std::max(worst_float64, std::fabs(double(y[i]) - float64[i]) / peak);
    }
    EXPECT_LT(worst_stored32, 1e-6) << base;
    EXPECT_LT(worst_float64, 1e-5) << base;
  }
}

TEST(IirFilterTest, EveryTraceUsesTheFirstTracesIntervalInSinglePrecision) {
  std::vector<float> noise(2000);
  uint32_t state = 12345;
  for (float& v : noise) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  XL_WaveData record;
  record.AddTrace(MakeTrace(noise, 0.1));
  record.AddTrace(MakeTrace(noise, 0.2));
  record.AddTrace(MakeTrace(noise, 0.05));
  ASSERT_EQ(FilterRecordBandpass(record, 0.4f, 2.0f), 1);

  IirSectionSet s;
  ASSERT_EQ(DesignIirFilter("BU", "BP", 1.0, 1.0, 0.4f, 2.0f,
                            static_cast<double>(static_cast<float>(0.1)), &s),
            1);
  std::vector<float> expected = noise;
  ApplyIirSections(expected.data(), static_cast<int64_t>(expected.size()), s);
  for (int t = 0; t < 3; ++t) EXPECT_EQ(Samples(record.Trace(t)), expected) << "trace " << t;
}

TEST(IirFilterTest, RefusesCornersThatCannotGiveABandPassAndLeavesSamplesAlone) {
  const std::vector<float> input = {1, -2, 3, -4, 5, 0, 0, 0};
  struct Case {
    float fl;
    float fh;
    double interval;
  };
  for (const Case& c : {Case{0.1f, 0.5f, 1.0}, Case{0.1f, 0.7f, 1.0}, Case{0.1f, 600.0f, 1e-3},
                        Case{0.0f, 0.3f, 1.0}, Case{-0.1f, 0.3f, 1.0}, Case{0.3f, 0.3f, 1.0},
                        Case{0.3f, 0.1f, 1.0}, Case{NAN, 0.3f, 1.0}, Case{0.1f, INFINITY, 1.0},
                        Case{0.1f, 0.3f, 0.0}, Case{0.1f, 0.3f, -1.0}, Case{0.1f, 0.3f, NAN},
                        Case{0.1f, 0.3f, 1e-300}, Case{0.1f, 0.3f, 1e300}}) {
    XL_WaveData record;
    record.AddTrace(MakeTrace(input, c.interval));
    std::string message;
    EXPECT_EQ(FilterRecordBandpass(record, c.fl, c.fh, &message), 0)
        << c.fl << " " << c.fh << " " << c.interval;
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_EQ(Samples(record.Trace(0)), input);
  }
  // Just below half the sampling rate is still a filter.
  XL_WaveData record;
  record.AddTrace(MakeTrace(input, 1.0));
  std::string message = "stale";
  EXPECT_EQ(FilterRecordBandpass(record, 0.1f, 0.499f, &message), 1);
  EXPECT_EQ(message, "");
  for (float v : Samples(record.Trace(0))) EXPECT_TRUE(std::isfinite(v));
}

TEST(IirFilterTest, EmptyRecordsAndTracesAreLeftAsTheyAre) {
  XL_WaveData empty;
  EXPECT_EQ(FilterRecordBandpass(empty, 0.05f, 0.3f), 1);

  XL_WaveData record;
  record.AddTrace(std::make_unique<XL_WaveTrace>(0));
  record.Trace(0).samplingInterval = 1.0;
  auto overclaimed = MakeTrace({1, 2, 3}, 1.0);
  overclaimed->sampleCount = 1 << 20;  // more than is allocated
  record.AddTrace(std::move(overclaimed));
  EXPECT_EQ(FilterRecordBandpass(record, 0.05f, 0.3f), 1);
  EXPECT_EQ(record.Trace(0).sampleCount, 0);
  EXPECT_NE(record.Trace(1).samples[0], 1.0f);  // filtered within its slots
}

TEST(IirFilterTest, UnknownCodesDesignNothing) {
  IirSectionSet s;
  s.sectionCount = 3;
  testing::internal::CaptureStderr();
  EXPECT_EQ(DesignIirFilter("XX", "BP", 1.0, 1.0, 0.1, 0.2, 1.0, &s), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "filter: Unknown Analog filter prototype: 'XX'\n"
            "        Expected: BU, BESSEL, C1, C2\n");
  EXPECT_EQ(s.sectionCount, 0);

  s.sectionCount = 3;
  testing::internal::CaptureStderr();
  EXPECT_EQ(DesignIirFilter("BU", "XY", 1.0, 1.0, 0.1, 0.2, 1.0, &s), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(s.sectionCount, 0);

  // Only the first two characters of a code count.
  EXPECT_EQ(DesignIirFilter("BESSEL", "BPASS", 1.0, 1.0, 0.1, 0.2, 1.0, &s), 1);
  EXPECT_EQ(s.sectionCount, 4);

  // A Chebyshev attenuation ratio below 1 has no filter.
  EXPECT_EQ(DesignIirFilter("C1", "LP", 0.5, 0.3, 0.1, 0.2, 1.0, &s), 0);
  EXPECT_EQ(s.sectionCount, 0);

  // No sections, no change.
  std::vector<float> x = {1, 2, 3};
  ApplyIirSections(x.data(), 3, s);
  EXPECT_EQ(x, (std::vector<float>{1, 2, 3}));
}

}  // namespace
}  // namespace qae
