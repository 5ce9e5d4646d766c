#include "catalogue/detection_line.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace qae {

bool ParseDetectionLine(std::string_view comments, DetectionLine* line) {
  if (comments.substr(0, 14) != "detected: AE#=") return false;
  const std::string text(comments.substr(0, comments.find('\n')));
  DetectionLine l;
  float cc = 0;
  float sn1 = 0;
  float sn2 = 0;
  float dx = 0;
  float dy = 0;
  float dz = 0;
  float dmw = 0;
  float mw_t = 0;
  const int n = std::sscanf(
      text.c_str(),
      "detected: AE#=%d, Mw=%f, x=%f, y=%f, z=%f, t0=%lf, CC=%f, sn1=%f, sn2=%f, dX=%f, dY=%f, "
      "dZ=%f, dMw=%f, M=%d, Tpl=%d(Mw%f)",
      &l.ae, &l.mw, &l.x, &l.y, &l.z, &l.t0, &cc, &sn1, &sn2, &dx, &dy, &dz, &dmw, &l.stations,
      &l.templateAe, &mw_t);
  if (n != 16) return false;
  *line = l;
  return true;
}

bool DetectionLineMatchesRow(const DetectionLine& line, const ResultRow& row) {
  // The line prints t0 and the position with three decimals, the table with
  // six and four; both come from the same floats.
  const auto close = [](double a, double b) { return std::fabs(a - b) <= 6e-4; };
  return line.ae == row.ae && line.templateAe == row.templateAe && close(line.t0, row.t0) &&
         close(line.x, row.x) && close(line.y, row.y) && close(line.z, row.z) &&
         std::fabs(line.mw - row.mw) <= 0.006f;
}

}  // namespace qae
