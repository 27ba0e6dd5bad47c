#include "publish/sourcetree.h"

#include "loader/pathrules.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

const QStringList sections { QStringLiteral("RAGEMP_FILES"), QStringLiteral("SERVER_FILES") };

class Walker
{
public:
    Walker(SourceListing &listing, const QString &root) : m_listing(listing), m_root(root) { m_open.insert(root); }

    void walkFolder(const QString &folder, const QString &logical)
    {
        const QFileInfoList entries = QDir(folder).entryInfoList(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &entry : entries)
            take(entry, logical + QLatin1Char('/') + entry.fileName());
    }

    void take(const QFileInfo &entry, const QString &logical)
    {
        QString real = entry.absoluteFilePath();
        if (entry.isSymLink()) {
            real = entry.canonicalFilePath();
            if (real.isEmpty())
                return refuse(logical, QStringLiteral("a link to nothing (%1)").arg(entry.symLinkTarget()));
            if (!real.startsWith(m_root + QLatin1Char('/')))
                return refuse(logical, QStringLiteral("a link that points outside the source folder, to %1").arg(real));
        }
        const QFileInfo target(real);
        if (target.isDir()) {
            const QString canonical = target.canonicalFilePath();
            if (m_open.contains(canonical))
                return refuse(logical, QStringLiteral("a link to a folder that holds it: the walk would never end"));
            m_open.insert(canonical);
            walkFolder(real, logical);
            m_open.remove(canonical);
            return;
        }
        if (!target.isFile())
            return refuse(logical, QStringLiteral("not a regular file"));
        const QString inSection = logical.mid(logical.indexOf(QLatin1Char('/')) + 1);
        const QString why = pathRefusal(inSection);
        if (!why.isEmpty())
            return refuse(logical, why);
        m_listing.files.append({ logical, real, target.size(), target.lastModified().toMSecsSinceEpoch() });
    }

    void refuse(const QString &path, const QString &reason) { m_listing.refusals.append({ path, reason }); }

private:
    SourceListing &m_listing;
    QString m_root;
    QSet<QString> m_open; // the folders being walked, canonical
};

// Windows keeps one of two names that differ in case only, in one folder,
// and a file cannot share its name with a folder.
void refuseCaseCollisions(SourceListing &listing)
{
    QHash<QString, QString> files;   // folded path -> path
    QHash<QString, QString> folders; // folded folder path -> a file under it
    for (const SourceFile &file : listing.files) {
        const QStringList parts = file.path.split(QLatin1Char('/'));
        for (int i = 1; i < parts.size(); ++i)
            folders.insert(QStringList(parts.mid(0, i)).join(QLatin1Char('/')).toCaseFolded(), file.path);
    }
    QList<SourceFile> kept;
    for (const SourceFile &file : qAsConst(listing.files)) {
        const QString folded = file.path.toCaseFolded();
        const auto sameFile = files.constFind(folded);
        if (sameFile != files.constEnd()) {
            listing.refusals.append({ file.path, QStringLiteral("differs from %1 only in case: one file on Windows")
                                                         .arg(*sameFile) });
            continue;
        }
        const auto folder = folders.constFind(folded);
        if (folder != folders.constEnd()) {
            listing.refusals.append({ file.path, QStringLiteral("has the name of a folder on Windows (of %1), "
                                                                "which is case-blind")
                                                         .arg(*folder) });
            continue;
        }
        files.insert(folded, file.path);
        kept.append(file);
    }
    listing.files = kept;
}

} // namespace

QString pathRefusal(const QString &pathInSection)
{
    static const QString windowsForbidden = QStringLiteral("<>\"|?*");
    if (isSafeRelativePath(pathInSection, QStringLiteral("/base"))) {
        for (const QChar c : pathInSection) {
            if (windowsForbidden.contains(c))
                return QStringLiteral("a '%1', which Windows does not allow in a file name").arg(c);
        }
        return QString();
    }
    for (const QChar c : pathInSection) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("a control character in its name");
        if (c == QLatin1Char(':'))
            return QStringLiteral("a ':', a drive or a stream on Windows");
        if (c == QLatin1Char('\\'))
            return QStringLiteral("a backslash, a folder separator on Windows");
    }
    if (pathInSection.startsWith(QLatin1Char('/')))
        return QStringLiteral("an absolute path");
    for (const QString &segment : pathInSection.split(QLatin1Char('/'))) {
        if (segment.isEmpty())
            return QStringLiteral("an empty segment, a second name for the same file");
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return QStringLiteral("a '.' or '..' segment, which leaves its folder");
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return QStringLiteral("'%1' ends in a dot or a blank, which Windows drops").arg(segment);
        if (isWindowsDeviceName(segment))
            return QStringLiteral("'%1' is a device on Windows (CON, NUL, COM1, ...)").arg(segment);
    }
    return QStringLiteral("the launcher's path rules refuse it");
}

SourceListing listSource(const QString &sourceFolder)
{
    SourceListing listing;
    const QString root = QFileInfo(sourceFolder).canonicalFilePath();
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        listing.refusals.append({ sourceFolder, QStringLiteral("no such folder") });
        return listing;
    }
    Walker walker(listing, root);
    const QFileInfoList top = QDir(root).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : top) {
        if (!sections.contains(entry.fileName()))
            listing.refusals.append({ entry.fileName(), QStringLiteral("neither RAGEMP_FILES/ nor SERVER_FILES/: "
                                                                       "the launcher reads no other section") });
        else if (!QFileInfo(entry.canonicalFilePath()).isDir())
            listing.refusals.append({ entry.fileName(), QStringLiteral("not a folder") });
        else
            walker.take(entry, entry.fileName());
    }
    std::sort(listing.files.begin(), listing.files.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.path < b.path; });
    refuseCaseCollisions(listing);
    if (!std::any_of(listing.files.cbegin(), listing.files.cend(), [](const SourceFile &file) {
            return file.path == QLatin1String("RAGEMP_FILES/ragemp_v.exe");
        })) {
        listing.warnings.append(QStringLiteral("RAGEMP_FILES/ragemp_v.exe is missing: a player without RageMP "
                                               "cannot install it"));
    }
    if (listing.files.isEmpty() && listing.refusals.isEmpty())
        listing.refusals.append({ sourceFolder, QStringLiteral("holds no file under RAGEMP_FILES/ or SERVER_FILES/") });
    return listing;
}
