#pragma once

#include "loader/manifest.h"

#include <QCryptographicHash>
#include <QString>
#include <QStringList>

#include <functional>

class QEventLoop;
class QNetworkAccessManager;

// The lowercase hexadecimal digest of the file's content, or an empty string
// when it cannot be opened (or `keepGoing` said stop halfway). Reads in
// bounded chunks, so a file of any size hashes in little memory.
QString fileHash(const QString &path, QCryptographicHash::Algorithm algorithm,
                 const std::function<bool()> &keepGoing = {});

// Whether a manifest path stays inside `baseFolder`: it must be relative,
// made of plain names joined by "/", free of drive letters, colons,
// backslashes and control characters, with no "." or ".." segment.
bool isSafeRelativePath(const QString &file, const QString &baseFolder);

// The folders below the base that must exist before `file` can be written,
// top down: "a/b/c.txt" gives "/a" and "/a/b".
QStringList parentFolderPrefixes(const QString &file);

// Progress of the server-files phase for the entry at `index` of `count`:
// from 10 up to below 90.
int serverFileProgress(int index, int count);

// The digest of downloaded content against the manifest's, in any letter case.
bool downloadDigestMatches(const QString &computedHex, const QString &published);

// One file's synchronisation, for the phases to hang their status texts on.
enum class SyncStep {
    Started,  // before the target's existence test
    Hashing,  // the target exists and is about to be hashed
    Opening,  // folders made, about to open the target for writing
    Opened,   // the target is open for writing
    Written,  // the whole body arrived and matched, about to put it in place
};

struct SyncResult
{
    enum Outcome {
        UpToDate,       // the existing file matched; nothing written
        Replaced,       // downloaded and put in place
        CreateFailed,   // unsafe path, or the target could not be opened for writing
        NetworkFailed,  // the transfer reported an error (see networkError)
        DownloadFailed, // cut, mismatched or unwritable body; nothing put in place
        Stopped,        // the loader thread is being stopped
    };
    Outcome outcome;
    QString networkError;
};

// Brings files up to date against their manifest entries. A download streams
// into a temporary file beside its target while its digest is computed; only
// a complete body whose digest matches replaces the target, so the target
// keeps its earlier content (or stays absent) whatever goes wrong.
class FileSync
{
public:
    FileSync(QNetworkAccessManager &manager, QEventLoop &loop,
             std::function<bool()> stopRequested);

    SyncResult sync(const FileEntry &entry, const QString &baseFolder,
                    const std::function<void(SyncStep)> &report);

private:
    QNetworkAccessManager &m_manager;
    QEventLoop &m_loop;
    std::function<bool()> m_stopRequested;
};
