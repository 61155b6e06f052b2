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

// The map's size in pixels, and where a longitude and latitude lie on it.
constexpr int kMapWidth = 1080, kMapHeight = 540;
std::pair<double, double> MapPoint(double lon, double lat);

// A JPEG image (the encoded bytes): a dot at each locator, under the labels
// of the fields, which stay readable wherever a dot falls.
std::string MapJpeg(const std::vector<std::string>& locators);

} // namespace logbook
