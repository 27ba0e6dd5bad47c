#include "platform/filereplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QThreadPool>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString windowsLongPath(const QString &native)
{
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native;
    if (native.startsWith(QLatin1String("\\\\")))
        return QLatin1String("\\\\?\\UNC\\") + native.mid(2);
    return QLatin1String("\\\\?\\") + native;
}

bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const auto longForm = [](const QString &path) {
        return windowsLongPath(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
    };
    const QString source = longForm(from);
    const QString target = longForm(to);
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
    const QByteArray target = QFile::encodeName(to);
    // The file replaced is freed when its last name and handle go, which for
    // a large one takes a while (ext4: about 0.1 s for 256 MiB). Held open
    // across the rename, it is freed when that handle closes, on a pool
    // thread rather than the loader's.
    int held = ::open(target.constData(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (held >= 0 && (::fstat(held, &info) != 0 || info.st_size < 16 * 1024 * 1024)) {
        ::close(held);
        held = -1;
    }
    const bool replaced = std::rename(QFile::encodeName(from).constData(), target.constData()) == 0;
    if (held >= 0) {
        if (replaced)
            QThreadPool::globalInstance()->start([held] { ::close(held); });
        else
            ::close(held);
    }
    return replaced;
#endif
}
