#pragma once

#include <QMetaType>

// A map region: centre and span in degrees.
struct MapRegion
{
    double centerLatitude = 0;
    double centerLongitude = 0;
    double latitudeDelta = 0;
    double longitudeDelta = 0;

    bool operator==(const MapRegion &) const = default;

    // The whole-catalogue view used while not connected.
    static constexpr MapRegion overview() { return {20.0, 60.0, 120.0, 120.0}; }
    // A close view centred on one location.
    static constexpr MapRegion around(double latitude, double longitude) { return {latitude, longitude, 30.0, 30.0}; }
};

Q_DECLARE_METATYPE(MapRegion)
