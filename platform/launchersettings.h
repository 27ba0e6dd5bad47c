#pragma once

#include <QSettings>
#include <QString>

#include <optional>

// The launcher's own settings, apart from RageMP's: the registry key
// HKEY_CURRENT_USER\Software\Zanrok\Launcher on Windows, a per-user INI file
// in the standard configuration folder elsewhere.
class LauncherSettings
{
public:
    LauncherSettings();

    // The registry path on Windows, the INI file's path elsewhere (it honours
    // XDG_CONFIG_HOME when the store is opened).
    static QString location();

    // The newest manifest timestamp accepted for a manifest address.
    std::optional<quint64> manifestTimestamp(const QString &manifestUrl) const;
    void setManifestTimestamp(const QString &manifestUrl, quint64 timestamp);
    // The digest of the manifest accepted at that timestamp, as hexadecimal
    // text; empty when none was kept (an earlier launcher kept none).
    QByteArray manifestDigest(const QString &manifestUrl) const;
    void setManifestDigest(const QString &manifestUrl, const QByteArray &digest);

    bool sync();

private:
    QSettings m_settings;
};
