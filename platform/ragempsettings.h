#pragma once

#include <QSettings>
#include <QString>

// RageMP's own settings store: the registry key of the current user on
// Windows, a per-user INI file in the standard configuration folder
// elsewhere. Both the launcher and the stand-in client use it, so they agree
// on where the values live.
class RageMpSettings
{
public:
    RageMpSettings();

    // Where the store lives: the registry path on Windows, the INI file's
    // path elsewhere (it honours XDG_CONFIG_HOME when the store is opened).
    static QString location();

    bool contains(const QString &key) const { return m_settings.contains(key); }
    QString value(const QString &key) const { return m_settings.value(key).toString(); }
    void setValue(const QString &key, const QString &value) { m_settings.setValue(key, value); }

    // Writes pending changes out, so that a program started next reads them.
    bool sync();

    static QString ragePathKey() { return QStringLiteral("rage_path"); }
    static QString launchIpKey() { return QStringLiteral("launch.ip"); }
    static QString launchPortKey() { return QStringLiteral("launch.port"); }
    static QString launch2IpKey() { return QStringLiteral("launch2.ip"); }
    static QString launch2PortKey() { return QStringLiteral("launch2.port"); }

private:
    QSettings m_settings;
};
