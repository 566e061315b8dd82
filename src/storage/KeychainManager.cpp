#include "storage/KeychainManager.h"

#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/Utf8.h"

using namespace Qt::StringLiterals;

namespace {

// Standard Base64 only: the alphabet with '=' padding to a multiple of four,
// nothing else (no line breaks, no URL alphabet).
std::optional<QByteArray> decodeBase64(const QString &text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    for (const QChar c : text)
        if (c.unicode() > 0x7f)
            return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

} // namespace

KeychainManager::KeychainManager(UserDefaults &standardDefaults, Keychain &keychain)
    : m_defaults(standardDefaults)
    , m_keychain(keychain)
{
}

bool KeychainManager::save(const QString &value, const QString &key)
{
    const auto bytes = Utf8::encode(value);
    if (!bytes) {
        Log::system(u"❌ KeychainManager: Failed to convert string to data for key: "_s + key);
        return false;
    }
    if (!m_defaults.set(defaultsPrefix + key, QString::fromLatin1(bytes->toBase64()))) {
        Log::system(u"❌ KeychainManager: Failed to store key: "_s + key + u" ("_s + m_defaults.lastError() + u')');
        return false;
    }
    Log::system(u"✅ KeychainManager: Saved key: "_s + key);
    return true;
}

std::optional<QByteArray> KeychainManager::retrieve(const QString &key)
{
    const auto stored = m_defaults.string(defaultsPrefix + key);
    if (stored) {
        if (auto bytes = decodeBase64(*stored)) {
            Log::system(u"✅ KeychainManager: Retrieved key: "_s + key);
            return bytes;
        }
    }
    Log::system(u"⚠️ KeychainManager: Key not found: "_s + key);
    return std::nullopt;
}

std::optional<QString> KeychainManager::retrieveString(const QString &key)
{
    const auto bytes = retrieve(key);
    if (!bytes)
        return std::nullopt;
    return Utf8::decode(*bytes);
}

bool KeychainManager::deleteKey(const QString &key)
{
    const bool removed = m_defaults.remove(defaultsPrefix + key);
    const Keychain::Status status = m_keychain.remove(keychainService, key);
    if (!removed) {
        Log::system(u"❌ KeychainManager: Failed to delete key: "_s + key + u" ("_s + m_defaults.lastError() + u')');
        return false;
    }
    if (status == Keychain::Success || status == Keychain::ItemNotFound) {
        Log::system(u"✅ KeychainManager: Successfully deleted key: "_s + key);
        return true;
    }
    Log::system(u"❌ KeychainManager: Failed to delete key: "_s + key + u", status: "_s + QString::number(status));
    return false;
}

bool KeychainManager::contains(const QString &key) const
{
    return m_defaults.contains(defaultsPrefix + key);
}

void KeychainManager::reload()
{
    m_defaults.reload();
}

QString KeychainManager::refreshLockPath() const
{
    return m_defaults.filePath() + u".refresh.lock"_s;
}

bool KeychainManager::deleteAllAuthTokens()
{
    bool allDeleted = true;
    for (const QString &key : {accessTokenKey, refreshTokenKey, userEmailKey, claimTokenKey})
        allDeleted = deleteKey(key) && allDeleted;
    Log::system(u"🔑 KeychainManager: All auth tokens deleted"_s);
    return allDeleted;
}
