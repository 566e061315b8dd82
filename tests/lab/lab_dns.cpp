// A DNS server for the IKEv2 lab: answers A queries for one name with one
// address (other names: NXDOMAIN) and appends every name it is asked for to
// a log file, so a test can tell which server a lookup went to.
//
//   velorin-lab-dns --listen ADDRESS --name NAME --answer ADDRESS --log FILE
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// The question's name ("www.example.com") and where the question ends.
bool readQuestion(const QByteArray &query, QByteArray *name, qsizetype *end)
{
    qsizetype at = 12;
    while (at < query.size()) {
        const int length = quint8(query[at++]);
        if (length == 0) {
            *end = at + 4;  // type and class
            return *end <= query.size();
        }
        if (length > 63 || at + length > query.size())
            return false;
        if (!name->isEmpty())
            name->append('.');
        name->append(query.mid(at, length));
        at += length;
    }
    return false;
}

// The reply to a query (empty for a malformed one); `asked` gets the name.
QByteArray answer(const QByteArray &query, const QByteArray &name, const QHostAddress &address, QByteArray *asked)
{
    qsizetype end = 0;
    if (query.size() < 12 || !readQuestion(query, asked, &end))
        return {};
    const int type = (quint8(query[end - 4]) << 8) | quint8(query[end - 3]);
    const bool known = asked->compare(name, Qt::CaseInsensitive) == 0;
    const bool withAnswer = known && type == 1;
    QByteArray out = query.left(end);
    out[2] = char(0x80 | (query[2] & 0x79));  // response, same opcode and RD
    out[3] = char(0x80 | (known ? 0 : 3));    // RA; NXDOMAIN for other names
    const char counts[] = {0, 1, 0, char(withAnswer ? 1 : 0), 0, 0, 0, 0};  // one question, the answer if any
    out.replace(4, sizeof(counts), counts, sizeof(counts));
    if (withAnswer) {
        const quint32 ip = address.toIPv4Address();
        const char record[] = {char(0xc0), 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4,
                               char(ip >> 24), char(ip >> 16), char(ip >> 8), char(ip)};
        out.append(record, sizeof(record));
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{u"listen"_s, u"address to listen on (port 53)"_s, u"ADDRESS"_s},
                       {u"name"_s, u"the name to answer"_s, u"NAME"_s},
                       {u"answer"_s, u"its IPv4 address"_s, u"ADDRESS"_s},
                       {u"log"_s, u"file the asked names are appended to"_s, u"FILE"_s}});
    parser.process(app);
    const QHostAddress listen(parser.value(u"listen"_s));
    const QHostAddress address(parser.value(u"answer"_s));
    const QByteArray name = parser.value(u"name"_s).toUtf8();
    QFile log(parser.value(u"log"_s));
    if (listen.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol || name.isEmpty()
        || !log.open(QIODevice::Append)) {
        std::fprintf(stderr, "velorin-lab-dns: needs --listen, --name, --answer (IPv4) and a writable --log\n");
        return 2;
    }
    QUdpSocket socket;
    if (!socket.bind(listen, 53)) {
        std::fprintf(stderr, "velorin-lab-dns: %s\n", qPrintable(socket.errorString()));
        return 1;
    }
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&]() {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram query = socket.receiveDatagram();
            QByteArray asked;
            const QByteArray reply = answer(query.data(), name, address, &asked);
            if (reply.isEmpty())
                continue;
            log.write(asked + '\n');
            log.flush();
            socket.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
        }
    });
    return app.exec();
}
