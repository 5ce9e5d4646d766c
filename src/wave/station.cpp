#include "wave/station.h"

#include <utility>

namespace qae {

CStationObj::CStationObj(std::string network_code, std::string station_code)
    : networkCode(std::move(network_code)),
      stationCode(std::move(station_code)),
      fullCode(networkCode + stationCode) {}

}  // namespace qae
