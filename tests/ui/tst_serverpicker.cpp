#include "support/Screenshots.h"
#include "ui/window/ServerPickerSheet.h"
#include "ui/common/Style.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

QStringList ids(const QList<ServerLocation> &servers)
{
    QStringList result;
    for (const ServerLocation &server : servers)
        result.append(server.id);
    return result;
}

// The ids of the rows in a section, top to bottom.
QStringList rowIds(const QWidget *section, const QString &prefix)
{
    QStringList result;
    for (const QWidget *row : section->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (row->objectName().startsWith(prefix))
            result.append(row->objectName().mid(prefix.size()));
    }
    return result;
}

// The servers whose row shows the checkmark.
QStringList checked(const ServerPickerSheet &sheet)
{
    QStringList result;
    for (const ServerLocation &server : ServerLocation::allServers()) {
        const auto *row = sheet.findChild<QWidget *>(ServerPickerSheet::rowName(server));
        const auto *mark = row ? row->findChild<QWidget *>(u"checkmark"_s) : nullptr;
        if (mark && mark->isVisibleTo(&sheet))
            result.append(server.id);
    }
    return result;
}

struct Picker
{
    QList<ServerLocation> chosen;
    ServerPickerSheet sheet;

    explicit Picker(std::optional<QString> selectedId)
        : sheet(ServerLocation::allServers(), std::move(selectedId),
                [this](const ServerLocation &server) { chosen.append(server); })
    {
        sheet.show();
        if (!QTest::qWaitForWindowExposed(&sheet))
            qWarning("the sheet was not exposed");
    }

    QWidget *row(const QString &id)
    {
        return sheet.findChild<QWidget *>(ServerPickerSheet::rowName(*ServerLocation::find(id)));
    }
};

} // namespace

class TestServerPicker : public QObject
{
    Q_OBJECT

private slots:
    // Available servers first, offline ones after, each in catalogue order,
    // under their section titles; offline rows are no buttons and carry the
    // badge instead of a checkmark.
    void layout()
    {
        const auto split = ServerPickerSheet::sections(ServerLocation::allServers());
        QCOMPARE(ids(split.available), (QStringList{u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(ids(split.offline), (QStringList{u"uk-node-01"_s, u"ie-node-01"_s, u"in-node-01"_s, u"au-node-01"_s,
                                                  u"de-node-01"_s, u"jm-node-01"_s, u"it-node-01"_s}));

        Picker picker(u"sg-node-01"_s);
        ServerPickerSheet &sheet = picker.sheet;
        QCOMPARE(sheet.windowModality(), Qt::WindowModal);
        const auto *available = sheet.findChild<QWidget *>(u"availableSection"_s);
        const auto *offline = sheet.findChild<QWidget *>(u"offlineSection"_s);
        QVERIFY(available->y() < offline->y());
        QCOMPARE(rowIds(available, u"serverRow:"_s), ids(split.available));
        QCOMPARE(rowIds(offline, u"offlineRow:"_s), ids(split.offline));

        const QWidget *singapore = picker.row(u"sg-node-01"_s);
        QCOMPARE(singapore->findChild<QLabel *>(u"title"_s)->text(), u"Singapore - Singapore"_s);
        // Drawn in the secondary colour, not the button text colour of the row.
        const QLabel *subtitle = singapore->findChild<QLabel *>(u"subtitle"_s);
        QCOMPARE(subtitle->palette().color(subtitle->foregroundRole()), Style::secondaryText(&sheet));
        for (const ServerLocation &server : split.offline) {
            const QWidget *row = picker.row(server.id);
            QVERIFY(!qobject_cast<const QAbstractButton *>(row));
            QVERIFY(row->findChild<QLabel *>(u"offlineBadge"_s));
            QVERIFY(!row->findChild<QWidget *>(u"checkmark"_s));
        }
        QVERIFY(sheet.grab().save(screenshotPath(u"serverpicker.png"_s)));
    }

    void checkmark_data()
    {
        QTest::addColumn<std::optional<QString>>("selectedId");
        QTest::addColumn<QStringList>("marked");
        QTest::newRow("Singapore") << std::optional(u"sg-node-01"_s) << QStringList{u"sg-node-01"_s};
        QTest::newRow("San Francisco") << std::optional(u"us-west-01"_s) << QStringList{u"us-west-01"_s};
        QTest::newRow("an offline server") << std::optional(u"uk-node-01"_s) << QStringList{};
        QTest::newRow("unknown id") << std::optional(u"mars-01"_s) << QStringList{};
        QTest::newRow("empty id") << std::optional(QString()) << QStringList{};
        QTest::newRow("none") << std::optional<QString>() << QStringList{};
    }
    void checkmark()
    {
        QFETCH(std::optional<QString>, selectedId);
        QFETCH(QStringList, marked);
        Picker picker(selectedId);
        QCOMPARE(checked(picker.sheet), marked);
    }

    // Every click reports the server, the sheet stays open, and the mark
    // moves only when the presenter says so.
    void clicksReportWithoutClosing()
    {
        Picker picker(u"sg-node-01"_s);
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(picker.row(u"sg-node-01"_s), Qt::LeftButton);
        QTest::mouseClick(picker.row(u"us-west-01"_s), Qt::LeftButton);
        QCOMPARE(ids(picker.chosen), (QStringList{u"sg-node-01"_s, u"sg-node-01"_s, u"sg-node-01"_s, u"us-west-01"_s}));
        QCOMPARE(picker.chosen.last(), *ServerLocation::find(u"us-west-01"_s));
        QVERIFY(picker.sheet.isVisible());
        QCOMPARE(checked(picker.sheet), QStringList{u"sg-node-01"_s});

        picker.sheet.setSelectedId(u"us-west-01"_s);
        QCOMPARE(checked(picker.sheet), QStringList{u"us-west-01"_s});

        // Offline rows ignore clicks.
        QTest::mouseClick(picker.row(u"uk-node-01"_s), Qt::LeftButton);
        QCOMPARE(picker.chosen.size(), 4);
    }

    void doneAndEscapeClose_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Done") << false;
        QTest::newRow("Escape") << true;
    }
    void doneAndEscapeClose()
    {
        QFETCH(bool, escape);
        Picker picker(u"sg-node-01"_s);
        if (escape)
            QTest::keyClick(&picker.sheet, Qt::Key_Escape);
        else
            QTest::mouseClick(picker.sheet.findChild<QPushButton *>(u"doneButton"_s), Qt::LeftButton);
        QVERIFY(!picker.sheet.isVisible());
        QVERIFY(picker.chosen.isEmpty());
    }
};

QTEST_MAIN(TestServerPicker)
#include "tst_serverpicker.moc"
