// Bit-for-bit comparison of scan results, for tests that hold the fast scan
// to the straightforward one.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "detect/matched_filter_scan.h"

namespace qae::test {

inline bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The same peaks in the same order, every value, SNR and position alike.
inline void ExpectSamePeaks(const std::vector<AcceptedPeak>& fast,
                            const std::vector<AcceptedPeak>& ref, const std::string& what) {
  ASSERT_EQ(fast.size(), ref.size()) << what;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    const AcceptedPeak& a = fast[i];
    const AcceptedPeak& b = ref[i];
    ASSERT_TRUE(a.ix == b.ix && a.iy == b.iy && a.iz == b.iz && a.q == b.q &&
                SameBits(a.value, b.value) && SameBits(a.snr1, b.snr1) &&
                SameBits(a.snr2, b.snr2))
        << what << ": peak " << i << " differs: fast (" << a.ix << "," << a.iy << "," << a.iz
        << ") q=" << a.q << " v=" << a.value << ", reference (" << b.ix << "," << b.iy << ","
        << b.iz << ") q=" << b.q << " v=" << b.value;
  }
}

}  // namespace qae::test
