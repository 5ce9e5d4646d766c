// Travel-time gradient of a station for a medium whose P velocity varies
// with direction as an ellipsoid.
#pragma once

#include "wave/vector3d.h"

namespace qae {

// d(travel time)/d(receiver - source) for a station at `receiver` and an
// event at `source` (3 coordinates each), with P velocities `vel_x`,
// `vel_y`, `vel_z` along the axes. Moving the source by an offset D moves
// the arrival by -G.D. A receiver at the source uses the direction (0,0,1).
XL_Vector3D TravelTimeGradient(const double (&receiver)[3], const double (&source)[3],
                               float vel_x, float vel_y, float vel_z);

}  // namespace qae
