#include "platform/launchersettings.h"

#include "platform/userstore.h"

#include <QUrl>

namespace {

// An address holds "/", which both stores read as a level of keys.
QString timestampKey(const QString &manifestUrl)
{
    return QStringLiteral("ManifestTimestamps/")
            + QString::fromLatin1(QUrl::toPercentEncoding(manifestUrl));
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

bool LauncherSettings::sync()
{
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}
