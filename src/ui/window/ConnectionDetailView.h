#pragma once

#include "model/ConnectionPresentation.h"
#include "model/MapRegion.h"
#include "model/ServerLocation.h"
#include "model/VPNConnectionState.h"
#include "ui/window/ServerPickerSheet.h"

#include <QAbstractButton>
#include <QColor>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <optional>

class FilledButton;
class PlainLabel;
class QLabel;
class ServerManager;
class SymbolView;
class VPNServiceManager;
class WorldMap;

// What the connection view decides beyond the status's look
// (ConnectionPresentation). Pure, so tests call these directly.
namespace ConnectionDetail {

// "Country - City (IKEv2)": the protocol in this line is fixed text.
QString locationLine(const ServerLocation &server);

// Where the map goes when the selected server changes (whatever the status;
// after a status change: ConnectionPresentation::regionForStatus).
MapRegion regionForSelection(const ServerLocation &selected);

// The emblem's pulsing circle at a time since it began: ease-in-out over
// 2 s from (scale 1, opacity 0.6) to (1.3, 0), then back, forever.
struct Pulse
{
    double scale = 1;
    double opacity = 0.6;
};
Pulse pulseAt(qint64 elapsedMs);

} // namespace ConnectionDetail

// The status emblem: a filled circle with the status symbol and, while
// connected, a pulsing circle around it. The pulse runs only while the
// emblem is shown.
class StatusEmblem : public QWidget
{
    Q_OBJECT
public:
    static constexpr int pulseDiameter = 140;
    static constexpr int circleDiameter = 110;
    static constexpr int symbolPoints = 44;
    static constexpr int frameMs = 33;

    explicit StatusEmblem(QWidget *parent = nullptr);

    void setLook(const ConnectionPresentation::Look &look);
    QString symbol() const { return m_symbol; }
    QColor symbolColor() const { return m_symbolColor; }
    bool showsPulse() const { return m_showsPulse; }
    bool isPulsing() const { return m_timer.isActive(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void showEvent(QShowEvent *) override;
    void hideEvent(QHideEvent *) override;

private:
    void updateTimer();

    QString m_symbol;
    QColor m_symbolColor;
    QColor m_background;
    bool m_showsPulse = false;
    bool m_shown = false;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

// The connection tab of the main window: a darkened world map with a pin per
// server, the selected location (a card that opens the server picker), the
// status emblem and text, the connected location and address, and the
// connect/disconnect button. Always dark, whatever the palette. In the error
// state the reason the state carries is shown under "Error" (statusReason),
// and the button connects again.
//
// The map keeps its own region: it starts at the overview, centres on the
// selected server when the selection changes or the status becomes
// connected, and returns to the overview when it becomes disconnected.
class ConnectionDetailView : public QWidget
{
    Q_OBJECT

public:
    ConnectionDetailView(ServerManager &servers, VPNServiceManager &vpn, QWidget *parent = nullptr);
    ~ConnectionDetailView() override;

    VPNDisplayStatus status() const { return m_status; }
    WorldMap *map() const { return m_map; }
    // The picker sheet while it is open.
    ServerPickerSheet *serverPicker() const { return m_picker; }

    // Opens the server picker over this view's window.
    void showServerPicker();
    // The picker's choice: selects an active server and, while connected,
    // disconnects and connects to it 1.5 s later. An inactive server changes
    // nothing.
    void chooseServer(const ServerLocation &server);

private:
    void buttonClicked();
    void statusChanged();
    void selectionChanged();
    void refresh();
    void refreshPins();

    ServerManager &m_servers;
    VPNServiceManager &m_vpn;
    VPNDisplayStatus m_status;
    QString m_shownServerId;

    WorldMap *m_map;
    QWidget *m_overlay;
    QAbstractButton *m_card;
    QLabel *m_cardFlag;
    QLabel *m_cardLocation;
    StatusEmblem *m_emblem;
    QLabel *m_statusText;
    PlainLabel *m_reason;
    QLabel *m_locationLine;
    PlainLabel *m_addressLine;
    FilledButton *m_button;
    QPointer<ServerPickerSheet> m_picker;
};
