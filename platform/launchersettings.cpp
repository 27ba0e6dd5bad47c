#include "platform/launchersettings.h"

#include "platform/userstore.h"

#include <QUrl>

namespace {

// An address holds "/", which both stores read as a level of keys.
QString addressKey(const QString &group, const QString &manifestUrl)
{
    return group + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(manifestUrl));
}

QString timestampKey(const QString &manifestUrl)
{
    return addressKey(QStringLiteral("ManifestTimestamps"), manifestUrl);
}

QString digestKey(const QString &manifestUrl)
{
    return addressKey(QStringLiteral("ManifestDigests"), manifestUrl);
}

} // namespace

LauncherSettings::LauncherSettings() : m_settings(location(), userStoreFormat()) { }

QString LauncherSettings::location()
{
    return userStoreLocation(QStringLiteral("Software\\Zanrok\\Launcher"),
                             QStringLiteral("Zanrok/Launcher.ini"));
}

std::optional<quint64> LauncherSettings::manifestTimestamp(const QString &manifestUrl) const
{
    const QVariant value = m_settings.value(timestampKey(manifestUrl));
    bool ok = false;
    const quint64 timestamp = value.toString().toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return timestamp;
}

void LauncherSettings::setManifestTimestamp(const QString &manifestUrl, quint64 timestamp)
{
    // As text: the registry's numbers are 32 bits wide.
    m_settings.setValue(timestampKey(manifestUrl), QString::number(timestamp));
}

QByteArray LauncherSettings::manifestDigest(const QString &manifestUrl) const
{
    return m_settings.value(digestKey(manifestUrl)).toString().toLatin1();
}

void LauncherSettings::setManifestDigest(const QString &manifestUrl, const QByteArray &digest)
{
    m_settings.setValue(digestKey(manifestUrl), QString::fromLatin1(digest));
}

bool LauncherSettings::sync()
{
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}
