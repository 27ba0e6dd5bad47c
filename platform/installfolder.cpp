#include "platform/installfolder.h"

#include <QDir>
#include <QFile>

QString defaultInstallParent()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:/Games");
#else
    return QDir::homePath() + QStringLiteral("/Games");
#endif
}

QString defaultInstallFolder()
{
    return defaultInstallParent() + QStringLiteral("/Zanrok");
}

bool makeExecutable(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return true;
#else
    const QFile::Permissions current = QFile::permissions(path);
    return QFile::setPermissions(path, current | QFile::ExeOwner | QFile::ExeUser);
#endif
}
