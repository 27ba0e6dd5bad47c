#pragma once

#include <QString>

#include <optional>

// What an update leaves behind, removed by the new launcher once its window
// is on screen. The installer puts each version in a folder of its own,
// <root>/<version>/, beside the record of what it installed there
// (installed-files.txt, one name a line, backslashes between folders); an
// install from before versions had folders of their own has its files and
// record in <root> itself. Only what a record names goes, and only for
// older versions: a newer version, a folder not named as a version, a name
// that is not plain (a drive, "..", a wildcard) and the player's own files
// stay.

// <root> when the launcher runs from <root>/<its version>/; nothing when it
// runs from anywhere else (a build folder, an install of the older layout).
std::optional<QString> versionedInstallRoot(const QString &applicationFolder, const QString &ownVersion);

// Each older version's folder under `root`, and an install of the older
// layout in `root` itself, by their records.
void removeEarlierVersions(const QString &root, const QString &ownVersion);

// The installers downloaded under `updatesFolder` (<version>/ZanrokLauncherSetup.exe)
// for versions not newer than `ownVersion`.
void removeEarlierInstallers(const QString &updatesFolder, const QString &ownVersion);

// The version the uninstall entry names (Windows), which the installer
// writes last: the launcher cleans up only once it is the one installed.
QString registeredVersion();
