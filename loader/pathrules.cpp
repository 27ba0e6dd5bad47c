#include "loader/pathrules.h"

#include <QDir>

namespace {

bool hasUnsafeCharacter(const QString &file)
{
    for (const QChar c : file) {
        if (c == QLatin1Char(':') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

} // namespace

bool isWindowsDeviceName(const QString &segment)
{
    // The device is named by what comes before the first dot, blanks
    // before that dot ignored: "con .txt" opens the console too.
    QString stem = segment.left(segment.indexOf(QLatin1Char('.'))).toUpper();
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    static const QStringList plain { QStringLiteral("CON"), QStringLiteral("PRN"),
                                     QStringLiteral("AUX"), QStringLiteral("NUL"),
                                     QStringLiteral("CONIN$"), QStringLiteral("CONOUT$") };
    if (plain.contains(stem))
        return true;
    if (stem.size() != 4 || !(stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
        return false;
    // Windows also reads the superscript digits 1 to 3 as port numbers.
    const QChar digit = stem.at(3);
    return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9)
            || digit == QChar(0x00B2) || digit == QChar(0x00B3);
}

bool isSafeRelativePath(const QString &file, const QString &baseFolder)
{
    if (file.isEmpty() || file.startsWith(QLatin1Char('/')) || hasUnsafeCharacter(file))
        return false;
    const QStringList segments = file.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        // "a//b" would be a second name for "a/b": two entries, one file.
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        // Windows drops a name's trailing dots and blanks, so ".. " there
        // means ".." and "a." means "a".
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return false;
        if (isWindowsDeviceName(segment))
            return false;
    }
    const QString base = QDir::cleanPath(QDir(baseFolder).absolutePath());
    const QString target = QDir::cleanPath(QDir(baseFolder).absoluteFilePath(file));
    return target.startsWith(base + QLatin1Char('/'));
}

QStringList parentFolderPrefixes(const QString &file)
{
    const QStringList parts = file.split(QLatin1Char('/'));
    QStringList prefixes;
    QString prefix;
    for (int k = 0; k + 1 < parts.size(); ++k) {
        prefix += QLatin1Char('/') + parts.at(k);
        prefixes.append(prefix);
    }
    return prefixes;
}
