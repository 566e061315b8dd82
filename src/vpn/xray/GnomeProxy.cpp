// GIO comes before every Qt header: its "signals" member clashes with Qt's
// macro of that name.
#include <gio/gio.h>

#include "vpn/xray/GnomeProxy.h"

#include "platform/Log.h"

#include <array>

using namespace Qt::StringLiterals;

namespace {

constexpr const char *rootSchema = "org.gnome.system.proxy";
constexpr std::array<const char *, 3> childNames{"socks", "http", "https"};

enum class Type { Text, Number, TextList };

struct Key
{
    int child; // -1: the root schema, else an index into childNames
    const char *name;
    Type type;
};

constexpr std::array<Key, 8> keys{{
    {-1, "mode", Type::Text},
    {-1, "ignore-hosts", Type::TextList},
    {0, "host", Type::Text},
    {0, "port", Type::Number},
    {1, "host", Type::Text},
    {1, "port", Type::Number},
    {2, "host", Type::Text},
    {2, "port", Type::Number},
}};

// "mode", "socks.host", ...: the names in the captured map.
QString fieldOf(const Key &key)
{
    const QString name = QString::fromLatin1(key.name);
    return key.child < 0 ? name : QString::fromLatin1(childNames[size_t(key.child)]) + u'.' + name;
}

QVariant toQt(GVariant *value)
{
    if (!value)
        return {};
    QVariant result;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        result = QString::fromUtf8(g_variant_get_string(value, nullptr));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
        result = int(g_variant_get_int32(value));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
        QStringList list;
        gsize count = 0;
        const gchar **items = g_variant_get_strv(value, &count);
        for (gsize i = 0; i < count; ++i)
            list.append(QString::fromUtf8(items[i]));
        g_free(items);
        result = list;
    }
    g_variant_unref(value);
    return result;
}

// The value as the key's type wants it; nothing when it cannot be (a
// damaged record).
GVariant *toGVariant(const QVariant &value, Type type)
{
    switch (type) {
    case Type::Text:
        if (value.typeId() != QMetaType::QString)
            return nullptr;
        return g_variant_new_string(value.toString().toUtf8().constData());
    case Type::Number: {
        const int id = value.typeId();
        const bool integral = id == QMetaType::Int || id == QMetaType::LongLong || id == QMetaType::UInt
            || id == QMetaType::ULongLong || (id == QMetaType::Double && value.toDouble() == qint64(value.toDouble()));
        const qlonglong number = value.toLongLong();
        if (!integral || number < INT_MIN || number > INT_MAX)
            return nullptr;
        return g_variant_new_int32(gint32(number));
    }
    case Type::TextList: {
        if (value.typeId() != QMetaType::QStringList
            && !(value.typeId() == QMetaType::QVariantList && value.canConvert<QStringList>()))
            return nullptr;
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
        for (const QString &item : value.toStringList())
            g_variant_builder_add(&builder, "s", item.toUtf8().constData());
        return g_variant_builder_end(&builder);
    }
    }
    return nullptr;
}

bool sameValue(const QVariant &a, const QVariant &b, Type type)
{
    switch (type) {
    case Type::Text:
        return a.toString() == b.toString();
    case Type::Number:
        return a.toLongLong() == b.toLongLong();
    case Type::TextList:
        return a.toStringList() == b.toStringList();
    }
    return false;
}

// The root settings and its three children, opened only after the schemas
// were found. With `batch` every change waits for apply().
class Store
{
public:
    // Looks the schemas up; an error text for the user when one is missing.
    static QString check()
    {
        GSettingsSchemaSource *source = g_settings_schema_source_get_default();
        if (!source)
            return u"No GSettings schemas are installed, so GNOME's proxy settings cannot be used: install the "
                   "gsettings-desktop-schemas package, or connect with “velorin connect --proxy-only”."_s;
        for (int child = -1; child < int(childNames.size()); ++child) {
            const QByteArray id = child < 0 ? QByteArray(rootSchema)
                                            : QByteArray(rootSchema) + '.' + childNames[size_t(child)];
            GSettingsSchema *schema = g_settings_schema_source_lookup(source, id.constData(), TRUE);
            bool complete = schema != nullptr;
            for (const Key &key : keys)
                if (complete && key.child == child)
                    complete = g_settings_schema_has_key(schema, key.name);
            if (schema)
                g_settings_schema_unref(schema);
            if (!complete)
                return u"GNOME's proxy settings (schema "_s + QString::fromLatin1(id)
                    + u") are not installed here: install the gsettings-desktop-schemas package, or connect with "
                      "“velorin connect --proxy-only”."_s;
        }
        return {};
    }

    explicit Store(bool batch)
    {
        m_root = g_settings_new(rootSchema);
        // Children made after this join the batch of their parent.
        if (batch)
            g_settings_delay(m_root);
        for (size_t i = 0; i < childNames.size(); ++i)
            m_children[i] = g_settings_get_child(m_root, childNames[i]);
    }
    ~Store()
    {
        for (GSettings *child : m_children)
            g_object_unref(child);
        g_object_unref(m_root);
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    GSettings *of(const Key &key) const { return key.child < 0 ? m_root : m_children[size_t(key.child)]; }

    QVariant read(const Key &key) const { return toQt(g_settings_get_value(of(key), key.name)); }
    bool writable(const Key &key) const { return g_settings_is_writable(of(key), key.name); }

    // False when the schema's range refuses the value (the value is consumed).
    bool write(const Key &key, GVariant *value) const
    {
        g_variant_ref_sink(value);
        GSettingsSchema *schema = nullptr;
        g_object_get(of(key), "settings-schema", &schema, nullptr);
        GSettingsSchemaKey *schemaKey = g_settings_schema_get_key(schema, key.name);
        const bool fits = g_variant_is_of_type(value, g_settings_schema_key_get_value_type(schemaKey))
            && g_settings_schema_key_range_check(schemaKey, value);
        g_settings_schema_key_unref(schemaKey);
        g_settings_schema_unref(schema);
        const bool written = fits && g_settings_set_value(of(key), key.name, value);
        g_variant_unref(value);
        return written;
    }
    void reset(const Key &key) const { g_settings_reset(of(key), key.name); }
    QVariant defaultValue(const Key &key) const
    {
        GSettingsSchema *schema = nullptr;
        g_object_get(of(key), "settings-schema", &schema, nullptr);
        GSettingsSchemaKey *schemaKey = g_settings_schema_get_key(schema, key.name);
        const QVariant value = toQt(g_settings_schema_key_get_default_value(schemaKey));
        g_settings_schema_key_unref(schemaKey);
        g_settings_schema_unref(schema);
        return value;
    }

    // Hands the batch to the settings store and waits until it has written.
    void commit() const
    {
        g_settings_apply(m_root);
        g_settings_sync();
    }

private:
    GSettings *m_root = nullptr;
    std::array<GSettings *, childNames.size()> m_children{};
};

QString lostWrite(const Key &key, const QVariant &got)
{
    const QString shown = got.typeId() == QMetaType::QStringList ? got.toStringList().join(u", "_s) : got.toString();
    return u"GNOME's settings did not keep the proxy values ("_s + fieldOf(key) + u" reads back as “"_s
        + shown.left(80)
        + u"”). The settings service (dconf, reached over the session D-Bus) may not be running."_s;
}

} // namespace

GnomeProxy::GnomeProxy(ProxyEndpoints endpoints)
    : ProxyBackend(std::move(endpoints))
{
}

QString GnomeProxy::labelText()
{
    return u"GNOME settings (org.gnome.system.proxy)"_s;
}

namespace {

QVariant ourValue(const Key &key, const ProxyEndpoints &endpoints)
{
    const QString field = fieldOf(key);
    if (field == u"mode")
        return u"manual"_s;
    if (field == u"ignore-hosts")
        return QStringList{u"localhost"_s, u"127.0.0.0/8"_s, u"::1"_s};
    if (key.type == Type::Text)
        return endpoints.host;
    return field.startsWith(u"socks"_s) ? endpoints.socksPort : endpoints.httpPort;
}

} // namespace

QString GnomeProxy::unavailableReason()
{
    if (const QString missing = Store::check(); !missing.isEmpty())
        return missing;
    const Store store(false);
    for (const Key &key : keys)
        if (!store.writable(key))
            return u"GNOME's proxy settings cannot be changed here ("_s + fieldOf(key)
                + u" is locked, or the settings store cannot be written)."_s;
    return {};
}

std::optional<QVariantMap> GnomeProxy::capture(QString *error)
{
    if (const QString missing = Store::check(); !missing.isEmpty()) {
        *error = missing;
        return std::nullopt;
    }
    const Store store(false);
    QVariantMap captured;
    for (const Key &key : keys)
        captured.insert(fieldOf(key), store.read(key));
    return captured;
}

bool GnomeProxy::apply(const QVariantMap &, QString *error)
{
    if (const QString missing = Store::check(); !missing.isEmpty()) {
        *error = missing;
        return false;
    }
    const Store store(true);
    for (const Key &key : keys) {
        if (!store.writable(key)) {
            *error = u"GNOME's proxy settings cannot be changed here ("_s + fieldOf(key)
                + u" is locked, or the settings store cannot be written)."_s;
            return false;
        }
        if (!store.write(key, toGVariant(ourValue(key, endpoints()), key.type))) {
            *error = u"GNOME's settings refused the proxy value for "_s + fieldOf(key) + u'.';
            return false;
        }
    }
    store.commit();
    // A failed write of the dconf store is only visible here: the keys read
    // back as they were.
    const Store check(false);
    for (const Key &key : keys) {
        const QVariant got = check.read(key);
        if (!sameValue(got, ourValue(key, endpoints()), key.type)) {
            *error = lostWrite(key, got);
            return false;
        }
    }
    return true;
}

bool GnomeProxy::restore(const QVariantMap &captured, bool quiet, QString *error)
{
    if (const QString missing = Store::check(); !missing.isEmpty()) {
        *error = missing;
        return false;
    }
    const Store store(true);
    QList<std::pair<Key, QVariant>> expected;
    for (const Key &key : keys) {
        // A value the user changed since the set is theirs.
        if (!sameValue(store.read(key), ourValue(key, endpoints()), key.type))
            continue;
        const QVariant previous = captured.value(fieldOf(key));
        GVariant *value = previous.isValid() ? toGVariant(previous, key.type) : nullptr;
        if (value && store.write(key, value)) {
            expected.append({key, previous});
            continue;
        }
        if (!quiet)
            Log::system(u"⚠️ Xray: No usable earlier value of "_s + fieldOf(key)
                        + u" in the proxy record — reset to GNOME's default"_s);
        store.reset(key);
        expected.append({key, store.defaultValue(key)});
    }
    if (expected.isEmpty())
        return true;
    store.commit();
    const Store check(false);
    for (const auto &[key, value] : std::as_const(expected)) {
        const QVariant got = check.read(key);
        if (!sameValue(got, value, key.type)) {
            *error = lostWrite(key, got);
            return false;
        }
    }
    return true;
}
