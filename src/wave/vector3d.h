// A small 3-vector of doubles, used for station geometry and travel-time
// gradients.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace qae {

// Minimal binary archive for XL_Vector3D::Serialize: reads from or appends to
// a byte buffer, values in host order (the archive never leaves the process).
struct ByteArchive {
  bool loading = false;
  std::vector<uint8_t> bytes;
  std::size_t read_pos = 0;
};

class XL_Vector3D {
 public:
  XL_Vector3D() = default;
  XL_Vector3D(double x_in, double y_in, double z_in) : x(x_in), y(y_in), z(z_in) {}
  virtual ~XL_Vector3D() = default;
  XL_Vector3D(const XL_Vector3D&) = default;
  XL_Vector3D& operator=(const XL_Vector3D&) = default;

  // Reads or writes x, y, z in that order as 8-byte floats. Reading past the
  // end of the archive leaves the remaining components unchanged.
  virtual void Serialize(ByteArchive& ar) {
    double* v[3] = {&x, &y, &z};
    for (double* c : v) {
      if (ar.loading) {
        if (ar.bytes.size() - ar.read_pos < sizeof(double)) return;
        std::memcpy(c, ar.bytes.data() + ar.read_pos, sizeof(double));
        ar.read_pos += sizeof(double);
      } else {
        const auto* p = reinterpret_cast<const uint8_t*>(c);
        ar.bytes.insert(ar.bytes.end(), p, p + sizeof(double));
      }
    }
  }

  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

}  // namespace qae
