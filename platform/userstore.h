#pragma once

#include <QSettings>
#include <QString>

// Where a per-user settings store lives: the registry key
// HKEY_CURRENT_USER\<registryKey> on Windows (native format), an INI file at
// <the user's configuration folder>/<iniFile> elsewhere.
QSettings::Format userStoreFormat();
QString userStoreLocation(const QString &registryKey, const QString &iniFile);
