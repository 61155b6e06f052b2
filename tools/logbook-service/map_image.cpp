#include "map_image.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cctype>
#include <utility>
#include <vector>

namespace logbook {

namespace {

using Outline = std::vector<std::pair<double, double>>; // longitude, latitude

const std::vector<Outline> kLand = {
    // North America
    {{-168, 66}, {-162, 70}, {-140, 70}, {-125, 71}, {-95, 72},  {-80, 68},  {-62, 60},
     {-56, 52},  {-66, 44},  {-70, 41},  {-76, 35},  {-81, 31},  {-80, 25},  {-84, 30},
     {-90, 29},  {-97, 27},  {-97, 21},  {-92, 18},  {-87, 21},  {-88, 15},  {-83, 10},
     {-78, 8},   {-80, 7},   {-86, 12},  {-92, 14},  {-105, 20}, {-110, 24}, {-114, 31},
     {-117, 33}, {-124, 40}, {-124, 48}, {-133, 56}, {-146, 60}, {-158, 56}, {-165, 60}},
    // Greenland
    {{-55, 60}, {-44, 60}, {-20, 70}, {-18, 77}, {-30, 83}, {-60, 82}, {-72, 78}, {-55, 70}},
    // South America
    {{-78, 8},
     {-72, 12},
     {-62, 10},
     {-52, 5},
     {-35, -5},
     {-39, -15},
     {-48, -26},
     {-58, -35},
     {-65, -42},
     {-68, -53},
     {-75, -52},
     {-73, -40},
     {-71, -25},
     {-70, -18},
     {-76, -14},
     {-81, -5},
     {-80, 1}},
    // Europe and Asia
    {{-10, 36}, {-9, 43},  {-2, 44},  {-5, 48},  {2, 51},   {8, 54},   {10, 57},  {5, 62},
     {14, 68},  {26, 71},  {40, 68},  {60, 69},  {70, 73},  {80, 73},  {100, 77}, {112, 74},
     {140, 72}, {160, 70}, {180, 68}, {180, 65}, {170, 60}, {162, 57}, {156, 51}, {142, 54},
     {135, 44}, {129, 35}, {121, 31}, {122, 25}, {110, 20}, {109, 12}, {104, 9},  {100, 13},
     {98, 8},   {104, 1},  {98, 10},  {93, 20},  {87, 22},  {80, 15},  {77, 8},   {72, 20},
     {67, 25},  {57, 26},  {52, 17},  {44, 12},  {40, 15},  {35, 28},  {32, 31},  {35, 36},
     {27, 37},  {26, 41},  {22, 37},  {19, 42},  {14, 45},  {16, 39},  {12, 38},  {9, 44},
     {3, 43},   {-1, 37},  {-6, 36}},
    // Great Britain and Ireland
    {{-5, 50}, {1, 51}, {1, 53}, {-2, 56}, {-3, 59}, {-6, 58}, {-5, 55}, {-3, 54}, {-5, 52}},
    {{-10, 52}, {-6, 52}, {-6, 55}, {-8, 55}, {-10, 54}},
    // Japan
    {{130, 31},
     {135, 34},
     {140, 35},
     {142, 40},
     {141, 45},
     {145, 44},
     {140, 41},
     {139, 38},
     {134, 35},
     {131, 34}},
    // Africa
    {{-17, 21}, {-10, 30}, {-6, 36}, {10, 37}, {11, 33},  {20, 31},  {32, 31},
     {35, 28},  {43, 12},  {51, 12}, {40, -2}, {40, -15}, {35, -24}, {27, -34},
     {18, -35}, {12, -18}, {13, -5}, {9, 4},   {-8, 4},   {-17, 14}},
    // Madagascar
    {{44, -25}, {50, -25}, {50, -15}, {47, -12}, {44, -17}},
    // The islands of South-East Asia
    {{95, 5}, {106, -6}, {115, -8}, {119, -5}, {117, 7}, {110, 2}, {104, 1}},
    {{131, -1}, {150, -6}, {145, -9}, {135, -4}},
    // Australia
    {{114, -22},
     {122, -18},
     {131, -12},
     {137, -12},
     {142, -11},
     {146, -19},
     {153, -25},
     {150, -37},
     {141, -38},
     {131, -31},
     {117, -35},
     {115, -30}},
    // New Zealand
    {{172, -35}, {178, -38}, {174, -41}, {171, -46}, {167, -46}, {172, -41}},
    // Antarctica
    {{-180, -90},
     {-180, -78},
     {-150, -77},
     {-100, -73},
     {-60, -64},
     {-40, -78},
     {0, -70},
     {60, -67},
     {100, -66},
     {140, -66},
     {170, -72},
     {180, -78},
     {180, -90}},
};

} // namespace

std::optional<std::pair<double, double>> LocatorToLonLat(const std::string& text) {
    std::string loc;
    for (char c : text)
        if (c != ' ')
            loc += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (loc.size() != 2 && loc.size() != 4 && loc.size() != 6)
        return std::nullopt;
    if (loc[0] < 'A' || loc[0] > 'R' || loc[1] < 'A' || loc[1] > 'R')
        return std::nullopt;
    double lon = -180 + (loc[0] - 'A') * 20.0, lat = -90 + (loc[1] - 'A') * 10.0;
    double w = 20, h = 10;
    if (loc.size() >= 4) {
        if (!std::isdigit(static_cast<unsigned char>(loc[2])) ||
            !std::isdigit(static_cast<unsigned char>(loc[3])))
            return std::nullopt;
        lon += (loc[2] - '0') * 2.0;
        lat += (loc[3] - '0') * 1.0;
        w = 2;
        h = 1;
    }
    if (loc.size() == 6) {
        if (loc[4] < 'A' || loc[4] > 'X' || loc[5] < 'A' || loc[5] > 'X')
            return std::nullopt;
        lon += (loc[4] - 'A') * (2.0 / 24);
        lat += (loc[5] - 'A') * (1.0 / 24);
        w = 2.0 / 24;
        h = 1.0 / 24;
    }
    return std::make_pair(lon + w / 2, lat + h / 2);
}

std::pair<double, double> MapPoint(double lon, double lat) {
    return {(lon + 180) / 360 * kMapWidth, (90 - lat) / 180 * kMapHeight};
}

std::string MapJpeg(const std::vector<std::string>& locators) {
    const int width = kMapWidth, height = kMapHeight;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(170, 205, 235));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    auto x = [](double lon) { return MapPoint(lon, 0).first; };
    auto y = [](double lat) { return MapPoint(0, lat).second; };

    // The land masses, coarsely outlined: enough to find one's way on the map.
    p.setPen(QPen(QColor(150, 140, 100), 1));
    p.setBrush(QColor(235, 225, 190));
    for (const auto& outline : kLand) {
        QPolygonF polygon;
        for (const auto& [lon, lat] : outline)
            polygon << QPointF(x(lon), y(lat));
        p.drawPolygon(polygon);
    }
    p.setBrush(Qt::NoBrush);

    // Maidenhead fields: 18 x 18, AA in the south-west corner.
    p.setPen(QPen(QColor(120, 150, 180), 1));
    for (int i = 0; i <= 18; ++i) {
        p.drawLine(QPointF(x(-180 + i * 20), 0), QPointF(x(-180 + i * 20), height));
        p.drawLine(QPointF(0, y(-90 + i * 10)), QPointF(width, y(-90 + i * 10)));
    }
    p.setPen(QPen(QColor(60, 90, 130), 1.5));
    p.drawLine(QPointF(0, y(0)), QPointF(width, y(0)));
    p.drawLine(QPointF(x(0), 0), QPointF(x(0), height));

    // The contacts, before the labels: a dot in a field's corner must not
    // hide the field's name.
    p.setPen(QPen(QColor(90, 0, 0), 1));
    p.setBrush(QColor(220, 30, 30, 210));
    for (const auto& loc : locators)
        if (auto ll = LocatorToLonLat(loc))
            p.drawEllipse(QPointF(x(ll->first), y(ll->second)), 4.5, 4.5);

    // Labels need fonts, which need a running GUI application. Each is drawn
    // with a pale outline so that it reads over a dot, a coast or a line.
    if (QGuiApplication::instance()) {
        QFont font;
        font.setPixelSize(11);
        QPainterPath labels;
        for (int i = 0; i < 18; ++i)
            for (int j = 0; j < 18; ++j)
                labels.addText(QPointF(x(-180 + i * 20) + 3, y(-90 + j * 10) - 3), font,
                               QString(QChar('A' + i)) + QChar('A' + j));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 255, 200), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(labels);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 70, 110));
        p.drawPath(labels);
    }
    p.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 85);
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace logbook
