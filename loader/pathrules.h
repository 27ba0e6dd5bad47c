#pragma once

#include <QString>
#include <QStringList>

// Whether a manifest path stays inside `baseFolder`: it must be relative,
// made of plain names joined by one "/", free of drive letters, colons,
// backslashes and control characters, with no empty, "." or ".." segment, no
// segment that Windows would trim or read as a device, on every system, so
// that one manifest behaves alike for every player.
bool isSafeRelativePath(const QString &file, const QString &baseFolder);

// Whether Windows reads this path segment as a device ("CON", "nul.txt",
// "COM1.log", …) rather than a file.
bool isWindowsDeviceName(const QString &segment);

// The folders below the base that must exist before `file` can be written,
// top down: "a/b/c.txt" gives "/a" and "/a/b".
QStringList parentFolderPrefixes(const QString &file);
