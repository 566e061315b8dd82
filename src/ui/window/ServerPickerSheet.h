#pragma once

#include "model/ServerLocation.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QVBoxLayout;
class SymbolView;

// The sheet that lists the server catalogue in two sections, "Available" and
// "Offline", and marks the selected server. A click on an available row
// reports the server through the handler and leaves the sheet open; what the
// choice does is up to the presenter, which tells the sheet the new
// selection through setSelectedId. Offline rows cannot be clicked. "Done"
// (or Escape) closes the sheet.
//
// Shown window-modal over the presenter's window, 380 x 420.
class ServerPickerSheet : public QDialog
{
    Q_OBJECT

public:
    using SelectHandler = std::function<void(const ServerLocation &)>;

    static constexpr int sheetWidth = 380;
    static constexpr int sheetHeight = 420;

    // `servers` in catalogue order; `selectedId` is the server to mark.
    ServerPickerSheet(QList<ServerLocation> servers, std::optional<QString> selectedId, SelectHandler onSelect,
                      QWidget *parent = nullptr);

    std::optional<QString> selectedId() const { return m_selectedId; }
    void setSelectedId(const std::optional<QString> &selectedId);

    // Splits the catalogue into the two sections, each in catalogue order.
    struct Sections
    {
        QList<ServerLocation> available;
        QList<ServerLocation> offline;
    };
    static Sections sections(const QList<ServerLocation> &servers);

    // objectName of a server's row: "serverRow:<id>" for available rows,
    // "offlineRow:<id>" for offline ones.
    static QString rowName(const ServerLocation &server);

private:
    void addSection(QVBoxLayout *list, const QString &title, const QString &name,
                    const QList<ServerLocation> &servers, bool available);
    void refreshCheckmarks();

    QList<ServerLocation> m_servers;
    std::optional<QString> m_selectedId;
    SelectHandler m_onSelect;
    QList<std::pair<QString, SymbolView *>> m_checkmarks;
};
