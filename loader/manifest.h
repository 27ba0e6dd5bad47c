#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// One file of the manifest: its path relative to its section's base folder,
// where to download it from, and its MD5 digest as published.
struct FileEntry
{
    QString file;
    QString url;
    QString hash;
};

inline bool operator==(const FileEntry &a, const FileEntry &b)
{
    return a.file == b.file && a.url == b.url && a.hash == b.hash;
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
// character is; elements of neither section are skipped.
ManifestSections splitManifest(const QJsonArray &array);
