// The configuration record, the file's exact layout and where and how the
// file is written (it holds the user's credential).
#include "XrayRig.h"

#include "model/JsonReader.h"
#include "vpn/xray/XrayConfig.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray bytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

mode_t modeOf(const QString &path)
{
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class TestXrayConfig : public QObject
{
    Q_OBJECT

private slots:
    void decodesTheResponse_data()
    {
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QString>("result"); // the name shown, or the decode error
        QJsonObject body = XrayTest::configBody();
        QTest::newRow("complete") << body << u"Singapore"_s;
        body.insert(u"display_name"_s, QJsonValue::Null);
        QTest::newRow("null display_name") << body << u"Singapore, SG"_s;
        body.remove(u"display_name"_s);
        QTest::newRow("no display_name") << body << u"Singapore, SG"_s;
        body.remove(u"flow"_s);
        QTest::newRow("no flow") << body << u"Missing key \"flow\""_s;
        body = XrayTest::configBody();
        body.insert(u"server_port"_s, u"443"_s);
        QTest::newRow("port as text") << body << u"Wrong type for key \"server_port\": expected integer, found string"_s;
    }

    void decodesTheResponse()
    {
        QFETCH(QJsonObject, body);
        QFETCH(QString, result);
        QString error;
        const auto config = tryDecodeBody<XrayConfigResponse>(bytes(body), &error);
        QCOMPARE(config ? config->displayNameOrLocation() : error, result);
        if (config)
            QCOMPARE(XrayConfigResponse::decode(JsonReader(config->encode())), *config);
    }

    void theFileHasTheExactLayout()
    {
        const auto config = decodeBody<XrayConfigResponse>(bytes(XrayTest::configBody()));
        QFile expectedFile(QStringLiteral(VELORIN_TEST_DATA "/xray-config-expected.json"));
        QVERIFY(expectedFile.open(QIODevice::ReadOnly));
        const QJsonObject expected = QJsonDocument::fromJson(expectedFile.readAll()).object();
        QVERIFY(!expected.isEmpty());

        const QByteArray written = XrayConfigFile::serialise(XrayConfigFile::build(config, 10808, 10809));
        // Ports are numbers in the expected document, and a number never equals a text.
        QCOMPARE(QJsonDocument::fromJson(written).object(), expected);
        QVERIFY(written.contains("\n    \"inbounds\": ["));
    }

    void writesAPrivateFileThroughNoLink()
    {
        QTemporaryDir base;
        const QString dir = base.filePath(u"private"_s);
        const QString victim = base.filePath(u"victim.txt"_s);
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("untouched");
        }
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(dir));
        QCOMPARE(modeOf(dir), mode_t(0700));
        // Someone plants a link at the file's name, pointing at a file of the user's.
        const QString path = dir + u"/kavro_xray_config.json"_s;
        QVERIFY(QFile::link(victim, path));

        const auto result = XrayConfigFile::write(dir, "{\"secret\": 1}");
        QCOMPARE(result.path, path);
        QVERIFY(result.error.isEmpty());
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(modeOf(path), mode_t(0600));
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("{\"secret\": 1}"));
        QFile original(victim);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("untouched"));

        // No temporary files stay behind.
        QVERIFY(!XrayConfigFile::write(dir, "{}").path.isEmpty());
        QCOMPARE(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{u"kavro_xray_config.json"_s});
    }

    void refusesFoldersThatAreNotPrivate()
    {
        QTemporaryDir base;
        const QString elsewhere = base.filePath(u"elsewhere"_s);
        QVERIFY(QDir().mkdir(elsewhere));
        const QString linked = base.filePath(u"linked"_s);
        QVERIFY(QFile::link(elsewhere, linked));
        const auto result = XrayConfigFile::write(linked, "{}");
        QVERIFY(result.path.isEmpty());
        QVERIFY2(result.error.contains(u"symbolic link"_s), qPrintable(result.error));
        QVERIFY(QDir(elsewhere).isEmpty());

        const QString file = base.filePath(u"plain"_s);
        QFile(file).open(QIODevice::WriteOnly);
        QVERIFY(XrayConfigFile::ensurePrivateDirectory(file).value_or(QString()).contains(u"not a folder"_s));

        // A folder of ours that others may enter is closed to them.
        const QString open = base.filePath(u"open"_s);
        QVERIFY(QDir().mkdir(open));
        ::chmod(QFile::encodeName(open).constData(), 0755);
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(open));
        QCOMPARE(modeOf(open), mode_t(0700));

        // A folder of another user (the root folder, unless the tests run as root).
        if (::geteuid() != 0)
            QVERIFY(XrayConfigFile::ensurePrivateDirectory(u"/"_s).value_or(QString()).contains(u"another user"_s));
    }

    void choosesTheRuntimeFolderOnlyWhenItIsPrivate()
    {
        QTemporaryDir base;
        const QString cache = base.filePath(u"cache"_s);
        const QString fallback = cache + u"/velorin/private"_s;
        const QString runtime = base.filePath(u"runtime"_s);
        QVERIFY(QDir().mkdir(runtime));

        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        QCOMPARE(XrayConfigFile::chooseDirectory(runtime, cache), runtime + u"/velorin"_s);
        ::chmod(QFile::encodeName(runtime).constData(), 0755);
        QCOMPARE(XrayConfigFile::chooseDirectory(runtime, cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(QString(), cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(u"relative/run"_s, cache), fallback);
        QCOMPARE(XrayConfigFile::chooseDirectory(base.filePath(u"missing"_s), cache), fallback);
        const QString link = base.filePath(u"runtime-link"_s);
        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        QVERIFY(QFile::link(runtime, link));
        QCOMPARE(XrayConfigFile::chooseDirectory(link, cache), fallback);

        // The fallback is created private, parents included.
        QVERIFY(!XrayConfigFile::ensurePrivateDirectory(fallback));
        QCOMPARE(modeOf(fallback), mode_t(0700));
    }
};

QTEST_GUILESS_MAIN(TestXrayConfig)
#include "tst_xrayconfig.moc"
