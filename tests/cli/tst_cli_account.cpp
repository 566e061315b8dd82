// The account commands of the real `velorin` program against the real
// development backend, with a throw-away settings folder.
#include "support/DevServerProcess.h"
#include "support/ProgramRun.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestCliAccount : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    QTemporaryDir m_config;
    std::unique_ptr<DevServerProcess> m_server;
    const QString m_email = u"grace@example.com"_s;

    ChildProcess::Result velorin(const QStringList &arguments, const QByteArray &input = {})
    {
        return ProgramRun::velorinIn(m_config.path(), arguments, input,
                                     {u"VELORIN_BACKEND_URL="_s + m_server->url().toString()});
    }

    // On failure, standard error, so a comparison shows why.
    QString succeed(const QStringList &arguments, const QByteArray &input = {})
    {
        const auto result = velorin(arguments, input);
        return result.exitCode == 0 ? result.out : u"failed: "_s + result.err;
    }

    void refuses(const QStringList &arguments, int exitCode, const QString &message, const QByteArray &input = {})
    {
        const auto result = velorin(arguments, input);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.err, u"velorin: "_s + message + u'\n');
    }

private slots:
    void initTestCase()
    {
        m_server = std::make_unique<DevServerProcess>(m_data.path(), DevServerProcess::fastArguments());
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void cleanupTestCase() { QVERIFY(m_server->stop()); }

    void accountFromTheCommandLine()
    {
        const QByteArray password = "a long password\n";
        // A password never goes on the command line, and an empty one is refused.
        refuses({u"login"_s, m_email, u"--password"_s, u"x"_s}, 2, u"usage: velorin login EMAIL [--password-stdin]"_s);
        refuses({u"register"_s, m_email, u"--password-stdin"_s}, 1, u"the password is empty"_s, "\n");
        QCOMPARE(succeed({u"register"_s, m_email, u"--password-stdin"_s}, password),
                 u"Account created. Enter the code sent to grace@example.com with: velorin verify grace@example.com CODE\n"_s);
        refuses({u"verify"_s, m_email, u"000000"_s}, 1, u"That code is not right. 4 tries left."_s);
        QCOMPARE(succeed({u"verify"_s, m_email, m_server->lastCode(m_email)}),
                 u"Email verified. Signed in as grace@example.com\n"_s);

        // Each command is a new process: it restores the stored session first.
        const QString who = succeed({u"whoami"_s});
        QVERIFY2(who.startsWith(u"Email:         grace@example.com\nUser ID:       "_s), qPrintable(who));
        QVERIFY(who.contains(u"\nPlan:          monthly\nActive:        yes\n"_s));
        const QStringList listing = succeed({u"devices"_s}).split(u'\n');
        QVERIFY2(listing.size() > 2 && listing[1].startsWith(u"* "_s) && listing[1].contains(u" linux "_s),
                 qPrintable(listing.join(u'\n')));
        QVERIFY(listing.contains(u"1 of 3 device slots used; * this computer"_s));
        const QString prefix = listing[1].mid(2, 8);

        QCOMPARE(succeed({u"logout"_s}), u"Signed out\n"_s);
        refuses({u"whoami"_s}, 1, u"not signed in (use 'velorin login EMAIL')"_s);
        refuses({u"devices"_s}, 1, u"not signed in (use 'velorin login EMAIL')"_s);
        refuses({u"login"_s, m_email, u"--password-stdin"_s}, 1, u"Invalid email or password"_s, "wrong password\n");
        QCOMPARE(succeed({u"login"_s, m_email, u"--password-stdin"_s}, password), u"Signed in as grace@example.com\n"_s);
        refuses({u"revoke"_s, u"nothing"_s}, 1, u"no active device 'nothing' (see 'velorin devices')"_s);
        QCOMPARE(succeed({u"revoke"_s, prefix.toLower()}),
                 u"Removed "_s + listing[1].mid(12, 25).trimmed() + u" ("_s + prefix
                     + u"); this computer is added back at its next sign-in or session restore\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestCliAccount)
#include "tst_cli_account.moc"
