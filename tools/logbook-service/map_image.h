// The QSO map: a world map in equirectangular projection with the Maidenhead
// fields, and a mark at each contact's locator.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace logbook {

// Longitude and latitude of the centre of a Maidenhead locator (2, 4 or 6
// characters, any case); nothing for text that is not a locator.
std::optional<std::pair<double, double>> LocatorToLonLat(const std::string& locator);

// A JPEG image (the encoded bytes).
std::string MapJpeg(const std::vector<std::string>& locators);

} // namespace logbook
