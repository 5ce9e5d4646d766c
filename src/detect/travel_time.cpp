#include "detect/travel_time.h"

#include <cmath>

namespace qae {

XL_Vector3D TravelTimeGradient(const double (&receiver)[3], const double (&source)[3],
                               float vel_x, float vel_y, float vel_z) {
  const double dx = receiver[0] - source[0];
  const double dy = receiver[1] - source[1];
  const double dz = receiver[2] - source[2];
  const double dist = std::sqrt(dx * dx + dy * dy + dz * dz);
  double ux = 0.0;
  double uy = 0.0;
  double uz = 1.0;
  if (dist != 0.0) {
    ux = dx / dist;
    uy = dy / dist;
    uz = dz / dist;
  }
  const float vx2 = vel_x * vel_x;
  const float vy2 = vel_y * vel_y;
  const float vz2 = vel_z * vel_z;
  // Velocity along u of the ellipsoid, in single precision as the run's
  // velocities are.
  const float v2 = static_cast<float>(vx2 * ux * ux + vy2 * uy * uy + vz2 * uz * uz);
  const float v = std::sqrt(v2);
  // The gradient itself is evaluated in double from those rounded values.
  const double w2 = v2;
  const double w = v;
  return XL_Vector3D((2.0 - vx2 / w2) * ux / w, (2.0 - vy2 / w2) * uy / w,
                     (2.0 - vz2 / w2) * uz / w);
}

}  // namespace qae
