#include "platform/ragempsettings.h"

#include "platform/userstore.h"

RageMpSettings::RageMpSettings() : m_settings(location(), userStoreFormat()) { }

QString RageMpSettings::location()
{
    return userStoreLocation(QStringLiteral("Software\\RAGE-MP"), QStringLiteral("RAGE-MP/RAGE-MP.ini"));
}

bool RageMpSettings::sync()
{
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}
