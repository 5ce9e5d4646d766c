// Station description that a trace may point to (it does not own it). Only
// the rotations and the export writers read it; runs never attach one.
#pragma once

#include <cstdint>
#include <string>

namespace qae {

class CStationObj {
 public:
  CStationObj(std::string network_code, std::string station_code);

  std::string networkCode;
  std::string stationCode;
  std::string fullCode;  // network code followed by station code
  float longitude = -181.0f;  // -181 means unset
  float latitude = 0.0f;
  float elevation = 0.0f;
  float depth = 0.0f;
  float gain = 1.0f;
  float gainPeriod = 1.5f;
  float azimuth = 0.0f;  // degrees, used by the horizontal rotations
  std::string code5 = "99555";
  std::string code3 = "???";
  std::string description1 = "Unknown";
  std::string description2 = "Unknown";
  std::string description3 = "Unknown";
  std::string extra;
  std::string coordinateSystem;
  uint8_t hasStationData = 0;
  int16_t counters[4] = {0, 0, 0, 0};
};

}  // namespace qae
