#include "map_image.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cctype>

namespace logbook {

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

std::string MapJpeg(const std::vector<std::string>& locators) {
    const int width = 1080, height = 540;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(170, 205, 235));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    auto x = [&](double lon) { return (lon + 180) / 360 * width; };
    auto y = [&](double lat) { return (90 - lat) / 180 * height; };

    // Maidenhead fields: 18 x 18, AA in the south-west corner.
    p.setPen(QPen(QColor(120, 150, 180), 1));
    for (int i = 0; i <= 18; ++i) {
        p.drawLine(QPointF(x(-180 + i * 20), 0), QPointF(x(-180 + i * 20), height));
        p.drawLine(QPointF(0, y(-90 + i * 10)), QPointF(width, y(-90 + i * 10)));
    }
    p.setPen(QPen(QColor(60, 90, 130), 1.5));
    p.drawLine(QPointF(0, y(0)), QPointF(width, y(0)));
    p.drawLine(QPointF(x(0), 0), QPointF(x(0), height));
    // Labels need fonts, which need a running GUI application.
    if (QGuiApplication::instance()) {
        QFont font;
        font.setPixelSize(11);
        p.setFont(font);
        p.setPen(QColor(60, 90, 130));
        for (int i = 0; i < 18; ++i)
            for (int j = 0; j < 18; ++j)
                p.drawText(QPointF(x(-180 + i * 20) + 3, y(-90 + j * 10) - 3),
                           QString(QChar('A' + i)) + QChar('A' + j));
    }
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(QColor(220, 30, 30));
    for (const auto& loc : locators)
        if (auto ll = LocatorToLonLat(loc))
            p.drawEllipse(QPointF(x(ll->first), y(ll->second)), 5, 5);
    p.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 85);
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace logbook
