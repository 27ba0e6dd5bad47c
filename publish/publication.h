#pragma once

#include "publish/sourcetree.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class MinisignSecretKey;

// `zanrok-publish make`: a source folder published into a web root, in an
// order where every manifest a player can see points at files in place.
struct MakeOptions
{
    QString source;
    QString out;
    QString baseUrl;
    QString manifestUrl;
    int expiresDays = 30;
    qint64 deltaFromBytes = 4 * 1024 * 1024;
};

// Counters for a progress line, updated as files are read.
struct MakeProgress
{
    std::atomic<int> filesDone { 0 };
    std::atomic<qint64> bytesDone { 0 };
    int filesToRead = 0;
    qint64 bytesToRead = 0;
};

class Publication
{
public:
    explicit Publication(MakeOptions options);

    // Checks the addresses and lists the source: false with problems() when
    // anything would be refused. Nothing is written.
    bool prepare();
    // Reads what changed, writes and signs. False with problems() on any
    // failure, the previous publication then left as it was served.
    bool publish(const MinisignSecretKey &key, MakeProgress &progress);

    QStringList problems() const { return m_problems; }
    QStringList warnings() const { return m_listing.warnings; }
    int fileCount() const { return m_listing.files.size(); }
    int filesRead() const { return m_filesRead; }
    qint64 bytesPublished() const { return m_bytesPublished; }
    // The digests of earlier publications, beside the web root.
    QString cachePath() const;

private:
    struct Planned;

    MakeOptions m_options;
    QString m_baseUrl;
    QString m_filesFolder;    // the base URL's folder under OUT
    QString m_manifestPath;   // under OUT
    SourceListing m_listing;
    QStringList m_problems;
    int m_filesRead = 0;
    qint64 m_bytesPublished = 0;
};
