#include "platform/userstore.h"

#include <QStandardPaths>

QSettings::Format userStoreFormat()
{
#ifdef Q_OS_WIN
    return QSettings::NativeFormat;
#else
    return QSettings::IniFormat;
#endif
}

QString userStoreLocation(const QString &registryKey, const QString &iniFile)
{
#ifdef Q_OS_WIN
    Q_UNUSED(iniFile)
    return QStringLiteral("HKEY_CURRENT_USER\\") + registryKey;
#else
    Q_UNUSED(registryKey)
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QLatin1Char('/') + iniFile;
#endif
}
