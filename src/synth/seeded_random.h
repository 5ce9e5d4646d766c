// The random draws of the synthetic experiments.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>
#include <random>
#include <vector>

namespace qae::synth {

// mt19937 and seed_seq are specified bit for bit by the language standard;
// the standard library's distributions are not, so they are written here.
class Rng {
 public:
  explicit Rng(std::initializer_list<uint32_t> seeds) {
    std::seed_seq seq(seeds);
    gen_.seed(seq);
  }
  // Uniform in (0, 1).
  double Uniform() { return (static_cast<double>(gen_()) + 0.5) / 4294967296.0; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  // Uniform integer in lo .. hi inclusive (hi >= lo).
  int64_t UniformInt(int64_t lo, int64_t hi) {
    const auto span = static_cast<uint64_t>(hi - lo + 1);
    return lo + static_cast<int64_t>((static_cast<uint64_t>(gen_()) * span) >> 32);
  }
  int UniformInt(int lo, int hi) {
    return static_cast<int>(UniformInt(static_cast<int64_t>(lo), static_cast<int64_t>(hi)));
  }
  // Standard normal deviate by the Box-Muller transform; the second value of
  // each pair is kept for the next call.
  double Gauss() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(Uniform()));
    const double phi = 2.0 * std::numbers::pi * Uniform();
    spare_ = r * std::sin(phi);
    has_spare_ = true;
    return r * std::cos(phi);
  }
  template <typename T>
  void Shuffle(std::vector<T>& v) {  // Fisher-Yates
    for (int i = static_cast<int>(v.size()) - 1; i > 0; --i) {
      std::swap(v[static_cast<std::size_t>(i)], v[static_cast<std::size_t>(UniformInt(0, i))]);
    }
  }

 private:
  std::mt19937 gen_;
  bool has_spare_ = false;
  double spare_ = 0.0;
};

}  // namespace qae::synth
