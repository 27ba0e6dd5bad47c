#include "platform/filereplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#endif

QString windowsLongPath(const QString &path)
{
    const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native;
    if (native.startsWith(QLatin1String("\\\\")))
        return QLatin1String("\\\\?\\UNC\\") + native.mid(2);
    return QLatin1String("\\\\?\\") + native;
}

bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const QString source = windowsLongPath(from);
    const QString target = windowsLongPath(to);
    constexpr int attempts = 40;
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
                        reinterpret_cast<const wchar_t *>(target.utf16()),
                        MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD error = GetLastError();
        const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                || error == ERROR_LOCK_VIOLATION;
        if (!held || attempt == attempts)
            return false;
        Sleep(50);
    }
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}
