#include "update/earlierversions.h"

#include "platform/diagnostics.h"
#include "update/launcherrelease.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

const QString recordName = QStringLiteral("installed-files.txt");
const QString installerName = QStringLiteral("ZanrokLauncherSetup.exe");

bool isOlder(const QString &version, const QString &ownVersion)
{
    return compareVersions(version, ownVersion).value_or(0) < 0;
}

// A record's line as a path under its folder, or nothing: the installer's
// own rules (no drive, no "..", no wildcard, no forward slash, not rooted).
std::optional<QString> recordedPath(QByteArray line)
{
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith('\\'))
        return std::nullopt;
    for (const char *unsafe : { ":", "..", "/", "*", "?" }) {
        if (line.contains(unsafe))
            return std::nullopt;
    }
    return QString::fromUtf8(line).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

void removeUpTo(const QString &root, QString folder)
{
    const QString top = QDir::cleanPath(root);
    while (folder.startsWith(top + QLatin1Char('/')) && QDir().rmdir(folder))
        folder = QFileInfo(folder).path();
}

// The files `folder`'s record names, its uninstaller and record, then the
// folders emptied; `skipVersionFolders` keeps a line of the older layout's
// record from reaching into a version's folder.
void removeRecorded(const QString &folder, bool skipVersionFolders)
{
    QFile record(folder + QLatin1Char('/') + recordName);
    if (!record.open(QIODevice::ReadOnly))
        return;
    int removed = 0;
    int held = 0;
    while (!record.atEnd()) {
        const std::optional<QString> path = recordedPath(record.readLine(4096));
        if (!path || (skipVersionFolders && versionNumbers(path->section(QLatin1Char('/'), 0, 0))))
            continue;
        const QString file = folder + QLatin1Char('/') + *path;
        if (!QFileInfo(file).isFile())
            continue;
        QFile::remove(file) ? ++removed : ++held;
        removeUpTo(folder, QFileInfo(file).path());
    }
    record.close();
    qCInfo(lcUpdate).noquote() << "removed" << removed << "files of an earlier version from"
                               << QDir::toNativeSeparators(folder) + QStringLiteral(";") << held << "held by a program";
    // A file still in use (that version still running) is tried again at the next start.
    if (held > 0)
        return;
    QFile::remove(folder + QStringLiteral("/uninstall.exe"));
    record.remove();
    if (!skipVersionFolders)
        QDir().rmdir(folder);
}

} // namespace

std::optional<QString> versionedInstallRoot(const QString &applicationFolder, const QString &ownVersion)
{
    const QFileInfo folder(QDir::cleanPath(applicationFolder));
    if (folder.fileName() != ownVersion)
        return std::nullopt;
    return folder.path();
}

void removeEarlierVersions(const QString &root, const QString &ownVersion)
{
    const QDir top(root);
    for (const QString &name : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (isOlder(name, ownVersion))
            removeRecorded(top.filePath(name), false);
    }
    removeRecorded(root, true);
}

void removeEarlierInstallers(const QString &updatesFolder, const QString &ownVersion)
{
    const QDir top(updatesFolder);
    for (const QString &name : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (compareVersions(name, ownVersion).value_or(1) > 0)
            continue;
        const QString installer = top.filePath(name) + QLatin1Char('/') + installerName;
        for (const QString &suffix : { QString(), QStringLiteral(".zanrok-download"), QStringLiteral(".zanrok-resume") })
            QFile::remove(installer + suffix);
        top.rmdir(name);
    }
}

QString registeredVersion()
{
#ifdef Q_OS_WIN
    const QSettings entry(
            QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZanrokLauncher"),
            QSettings::NativeFormat);
    return entry.value(QStringLiteral("DisplayVersion")).toString();
#else
    return QString();
#endif
}
