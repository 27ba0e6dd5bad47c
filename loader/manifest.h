#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// One file of the manifest: its path relative to its section's base folder,
// where to download it from, its MD5 digest and its length in bytes as
// published.
struct FileEntry
{
    QString file;
    QString url;
    QString hash;
    qint64 size = -1; // unknown
};

inline bool operator==(const FileEntry &a, const FileEntry &b)
{
    return a.file == b.file && a.url == b.url && a.hash == b.hash && a.size == b.size;
}

struct ManifestSections
{
    QList<FileEntry> serverFiles;  // synchronised into the server folder on every run
    QList<FileEntry> ragempFiles;  // installed only when RageMP is missing
};

// The manifest's top-level array; anything that is not a JSON array (or does
// not parse) gives an empty one.
QJsonArray manifestArray(const QByteArray &body);

// Every download goes over plain HTTP: a URL starting with "https" (exactly
// so, capitals are left alone) loses the "s".
QString downloadUrl(const QString &url);

// Sorts the elements into the two sections, in manifest order. The section
// prefix and the one separator character after it are cut off whatever that
// character is; elements of neither section are skipped. A "size" that is
// not a whole number from 0 to 2^53 (what a JSON number holds exactly) reads
// as unknown.
ManifestSections splitManifest(const QJsonArray &array);

// The first of `files` that a signed manifest may not list: one without a
// digest, which nothing would check, or without a size, which nothing would
// bound. Null when there is none.
const FileEntry *firstUncheckedEntry(const QList<FileEntry> &files);
