// XrayConfigResponse, the answer to GET /api/v1/xray/config, and the xray
// configuration file built from it.
#include "FuzzSupport.h"
#include "vpn/xray/XrayConfig.h"

#include <QJsonArray>
#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto config = Fuzz::decode<XrayConfigResponse>(Fuzz::bytes(data, size));
    if (!config)
        return 0;
    // Whatever the server sent, the file is one JSON object that carries the
    // values as given (no injection into the surrounding document).
    const QByteArray file = XrayConfigFile::serialise(XrayConfigFile::build(*config, 10808, 10809));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file, &error);
    Fuzz::check(error.error == QJsonParseError::NoError && document.isObject(), "the xray file is not a JSON object");
    const QJsonObject root = document.object();
    Fuzz::check(root.value(QStringLiteral("inbounds")).toArray().size() == 2, "the xray file lost its inbounds");
    Fuzz::check(QJsonDocument(XrayConfigFile::build(*config, 10808, 10809)) == document,
                "the xray file does not read back as built");
    // And the record survives its own encoding.
    const auto reread = Fuzz::decode<XrayConfigResponse>(QJsonDocument(config->encode()).toJson());
    Fuzz::check(reread && *reread == *config, "an Xray configuration does not survive its own encoding");
    return 0;
}
