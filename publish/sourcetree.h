#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What a publication takes from its source folder: the files under
// RAGEMP_FILES/ and SERVER_FILES/, each by its path in the manifest, and
// what the launcher would refuse, each named with the reason.

struct SourceFile
{
    QString path;     // as in the manifest: "SERVER_FILES/packages/core/index.js"
    QString readPath; // where its bytes are (a link's target for a link)
    qint64 size = 0;
    qint64 modifiedMs = 0;
};

struct Refusal
{
    QString path;
    QString reason;
};

struct SourceListing
{
    QList<SourceFile> files; // sorted by path
    QList<Refusal> refusals;
    QStringList warnings;
};

// Walks `sourceFolder`, following links that stay inside it.
SourceListing listSource(const QString &sourceFolder);

// Why the launcher (or Windows, where it writes) would not take this path
// inside its section's folder; empty when it would.
QString pathRefusal(const QString &pathInSection);
