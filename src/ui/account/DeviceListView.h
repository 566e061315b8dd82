#pragma once

#include "backend/DeviceRecords.h"

#include <QAbstractButton>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <optional>

class DeviceManager;
class PlainLabel;
class QLabel;
class QScrollArea;

class QToolButton;
class RoundedPanel;
class Spinner;
class SymbolView;

// The rules of the devices page.
namespace DeviceListText {

// What the content area shows.
enum class Content {
    Loading, // a first load is running and there are no devices yet
    Empty, // no devices
    List, // one row per device (kept while a refresh runs)
};
Content content(bool isLoading, qsizetype deviceCount);

// "2 of 3 device slots used"
QString slotsLine(int activeDeviceCount, int maxDevices);
// "Your subscription supports up to 3 devices."
QString footerLine(int maxDevices);
// The removal confirmation's message:
// Remove "<nickname>"? This device will no longer be able to use Velorin VPN.
QString removeMessage(const QString &nickname);

// The parts of a row's second line: the upper-cased platform ("UNKNOWN"
// when there is none), "v" with the app version when there is one, and the
// creation date (medium date and short time of `locale`, or the text as it
// came when it does not parse).
QStringList detailParts(const RegisteredDevice &device, const QLocale &locale = QLocale());

// The badge of this computer's row: "This Mac" on a Mac, "This Computer"
// elsewhere.
QString thisDeviceBadge();

// Opacity of the Remove button's red background.
inline qreal removeTintOpacity(bool hovering)
{
    return hovering ? 0.15 : 0.08;
}

} // namespace DeviceListText

// The small red "Remove" button of a device row; its background is stronger
// while the pointer is over the row.
class RemoveDeviceButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit RemoveDeviceButton(QWidget *parent = nullptr);
    void setHovering(bool hovering);
    bool isHovering() const { return m_hovering; }
    QColor backgroundColor() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    bool m_hovering = false;
};

// One device of the account: its platform symbol (accent for this computer,
// secondary otherwise), the nickname with a "This Mac" ("This Computer"
// outside macOS) badge for this computer, the platform, version and creation date, and a Remove button for
// every device but this computer.
class MacDeviceRow : public QWidget
{
    Q_OBJECT
public:
    MacDeviceRow(const RegisteredDevice &device, bool isCurrent, QWidget *parent = nullptr);

    const RegisteredDevice &device() const { return m_device; }
    bool isCurrent() const { return m_isCurrent; }
    bool isHovering() const { return m_hovering; }
    // Null for this computer.
    RemoveDeviceButton *removeButton() const { return m_remove; }

signals:
    // The Remove button was pressed.
    void revokeRequested();

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void setHovering(bool hovering);
    void applyColors();

    RegisteredDevice m_device;
    bool m_isCurrent;
    bool m_hovering = false;
    SymbolView *m_icon;
    PlainLabel *m_details;
    RemoveDeviceButton *m_remove = nullptr;
};

// The "Devices" page: the account's active devices as DeviceManager holds
// them, how many of the account's slots are used, and removal of any device
// but this computer after a confirmation. Every time the page is shown it
// fetches the list again; the page itself caches nothing.
class DeviceListView : public QWidget
{
    Q_OBJECT
public:
    explicit DeviceListView(DeviceManager &deviceManager, QWidget *parent = nullptr);

    DeviceListText::Content content() const { return m_content; }
    QList<MacDeviceRow *> rows() const;
    // The removal confirmation while it is open, and the device it is about.
    QMessageBox *removeConfirmation() const { return m_confirmation; }
    std::optional<RegisteredDevice> deviceToRevoke() const { return m_deviceToRevoke; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void fetch();
    void rebuildRows();
    void updateState();
    void updateCounts();
    void applyColors();
    void confirmRemoval(const RegisteredDevice &device);

    DeviceManager &m_manager;
    DeviceListText::Content m_content = DeviceListText::Content::Empty;
    std::optional<RegisteredDevice> m_deviceToRevoke;
    QPointer<QMessageBox> m_confirmation;

    QLabel *m_slots;
    QToolButton *m_refresh;
    QScrollArea *m_scroll;
    QWidget *m_loading;
    Spinner *m_spinner;
    QWidget *m_empty;
    SymbolView *m_emptySymbol;
    QLabel *m_emptyTitle;
    QLabel *m_emptyText;
    RoundedPanel *m_list;
    RoundedPanel *m_errorBanner;
    PlainLabel *m_errorText;
    QLabel *m_footer;
    QLabel *m_footerHint;
};
