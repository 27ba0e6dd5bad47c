#include "platform/ragempsettings.h"

#include <QStandardPaths>

namespace {

QSettings::Format storeFormat()
{
#ifdef Q_OS_WIN
    return QSettings::NativeFormat;
#else
    return QSettings::IniFormat;
#endif
}

} // namespace

RageMpSettings::RageMpSettings() : m_settings(location(), storeFormat()) { }

QString RageMpSettings::location()
{
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\RAGE-MP");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/RAGE-MP/RAGE-MP.ini");
#endif
}

bool RageMpSettings::sync()
{
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}
