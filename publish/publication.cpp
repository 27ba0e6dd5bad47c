#include "publish/publication.h"

#include "delta/sidecarwriter.h"
#include "publish/filedigest.h"
#include "publish/manifestwriter.h"
#include "trust/minisignsigner.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString stagedSuffix = QStringLiteral(".zanrok-publish-new");
const QString sidecarSuffix = QStringLiteral(".zsync");
// A file changed within this long of its reading may change again within the
// same modification time: its digest is not kept.
constexpr qint64 racyMs = 2000;

struct CachedFile
{
    qint64 size = -1;
    qint64 modifiedMs = -1;
    QString md5;
    int sidecarBlockSize = 0;
};

struct DigestCache
{
    QHash<QString, CachedFile> files;
    QStringList published; // paths under the web root, of the last publication
    QStringList dropped;   // published before it, no longer listed: removed next time
};

DigestCache loadCache(const QString &path)
{
    DigestCache cache;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cache;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject files = root.value(QLatin1String("files")).toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        cache.files.insert(it.key(), { qint64(entry.value(QLatin1String("size")).toDouble(-1)),
                                       qint64(entry.value(QLatin1String("modified")).toDouble(-1)),
                                       entry.value(QLatin1String("md5")).toString(),
                                       entry.value(QLatin1String("sidecarBlockSize")).toInt() });
    }
    for (const QJsonValue &value : root.value(QLatin1String("published")).toArray())
        cache.published.append(value.toString());
    for (const QJsonValue &value : root.value(QLatin1String("dropped")).toArray())
        cache.dropped.append(value.toString());
    return cache;
}

bool saveCache(const QString &path, const DigestCache &cache)
{
    QJsonObject files;
    for (auto it = cache.files.constBegin(); it != cache.files.constEnd(); ++it) {
        files.insert(it.key(), QJsonObject { { QStringLiteral("size"), double(it->size) },
                                             { QStringLiteral("modified"), double(it->modifiedMs) },
                                             { QStringLiteral("md5"), it->md5 },
                                             { QStringLiteral("sidecarBlockSize"), it->sidecarBlockSize } });
    }
    const QJsonObject root { { QStringLiteral("files"), files },
                             { QStringLiteral("published"), QJsonArray::fromStringList(cache.published) },
                             { QStringLiteral("dropped"), QJsonArray::fromStringList(cache.dropped) } };
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) >= 0
            && file.commit();
}

bool sameInode(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
            && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
            && first.st_ino == second.st_ino;
}

bool replaceWith(const QString &staged, const QString &target)
{
    // Two links to one file: rename() would leave both.
    if (sameInode(staged, target))
        return QFile::remove(staged);
    return ::rename(QFile::encodeName(staged).constData(), QFile::encodeName(target).constData()) == 0;
}

bool contains(const QString &folder, const QString &path)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

struct Publication::Planned
{
    const SourceFile *source = nullptr;
    QString target;
    int sidecarBlockSize = 0;
    QString md5;      // known from the cache unless read
    bool read = false;
    QString staged;   // the file under its temporary name, when it changes
    FileDigests digests;
};

Publication::Publication(MakeOptions options) : m_options(std::move(options)) { }

QString Publication::cachePath() const
{
    return QDir::cleanPath(QFileInfo(m_options.out).absoluteFilePath()) + QStringLiteral(".publish-cache.json");
}

bool Publication::prepare()
{
    const WebAddressCheck base = checkWebAddress(m_options.baseUrl, true);
    const WebAddressCheck manifest = checkWebAddress(m_options.manifestUrl, false);
    for (const WebAddressCheck *check : { &base, &manifest }) {
        if (!check->address)
            m_problems.append(check->error);
    }
    if (base.address && manifest.address) {
        m_baseUrl = base.address->url;
        const QString out = QDir::cleanPath(QFileInfo(m_options.out).absoluteFilePath());
        m_filesFolder = QDir::cleanPath(out + QLatin1Char('/') + base.address->pathInRoot);
        m_manifestPath = QDir::cleanPath(out + QLatin1Char('/') + manifest.address->pathInRoot);
        const QString comment = QString::fromUtf8(publicationComment(0, QFileInfo(m_manifestPath).fileName(),
                                                                     m_options.manifestUrl, 0));
        if (comment.toUtf8().size() + 40 > maxTrustedCommentBytes)
            m_problems.append(QStringLiteral("the manifest's address is too long for minisign's trusted comment"));
        const QString source = QFileInfo(m_options.source).canonicalFilePath();
        if (!source.isEmpty() && (contains(source, out) || contains(out, source)))
            m_problems.append(QStringLiteral("the source folder and the output folder must not hold one another"));
    }
    if (m_options.expiresDays < 1 || m_options.expiresDays > 3650)
        m_problems.append(QStringLiteral("--expires takes 1 to 3650 days"));
    if (!m_problems.isEmpty())
        return false;

    m_listing = listSource(m_options.source);
    for (const Refusal &refusal : qAsConst(m_listing.refusals))
        m_problems.append(QStringLiteral("%1: %2").arg(refusal.path, refusal.reason));
    return m_problems.isEmpty();
}

bool Publication::publish(const MinisignSecretKey &key, MakeProgress &progress)
{
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
    const QString out = QDir::cleanPath(QFileInfo(m_options.out).absoluteFilePath());
    DigestCache cache = loadCache(cachePath());

    // What each file needs: nothing when the cache knows it and the web root
    // holds it, else a read, through a link or a copy under a temporary name.
    std::vector<Planned> plan(size_t(m_listing.files.size()));
    std::vector<Planned *> toRead;
    QStringList staged; // every temporary name, removed unless renamed
    auto unstage = [&staged] {
        for (const QString &path : qAsConst(staged))
            QFile::remove(path);
    };
    for (int i = 0; i < m_listing.files.size(); ++i) {
        const SourceFile &source = m_listing.files.at(i);
        Planned &planned = plan[size_t(i)];
        planned.source = &source;
        planned.target = m_filesFolder + QLatin1Char('/') + source.path;
        if (source.size >= m_options.deltaFromBytes)
            planned.sidecarBlockSize = defaultSidecarBlockSize(source.size);
        const CachedFile cached = cache.files.value(source.path);
        const QFileInfo target(planned.target);
        const bool inPlace = target.isFile() && !target.isSymLink()
                && (sameInode(planned.target, source.readPath)
                    || (target.size() == source.size && target.lastModified().toMSecsSinceEpoch() == source.modifiedMs));
        const bool sidecarInPlace = planned.sidecarBlockSize == 0
                || (cached.sidecarBlockSize == planned.sidecarBlockSize
                    && QFileInfo(planned.target + sidecarSuffix).isFile());
        if (inPlace && sidecarInPlace && cached.size == source.size && cached.modifiedMs == source.modifiedMs
            && !cached.md5.isEmpty()) {
            planned.md5 = cached.md5;
            continue;
        }
        planned.read = true;
        planned.staged = planned.target + stagedSuffix;
        // Found now, not halfway through putting files in place.
        if (target.exists() && !target.isFile()) {
            m_problems.append(QStringLiteral("%1: %2 is in the way, and not a file").arg(source.path, planned.target));
            continue;
        }
        if (!QDir().mkpath(target.absolutePath())) {
            m_problems.append(QStringLiteral("%1: the folder %2 cannot be made").arg(source.path, target.absolutePath()));
            continue;
        }
        QFile::remove(planned.staged);
        staged.append(planned.staged);
        toRead.push_back(&planned);
    }
    if (!m_problems.isEmpty()) {
        unstage();
        return false;
    }

    // Largest first, so that the last files to finish are small ones.
    std::sort(toRead.begin(), toRead.end(),
              [](const Planned *a, const Planned *b) { return a->source->size > b->source->size; });
    progress.filesToRead = int(toRead.size());
    for (const Planned *planned : toRead)
        progress.bytesToRead += planned->source->size;
    std::atomic<size_t> nextToRead { 0 };
    auto work = [&] {
        for (size_t i; (i = nextToRead++) < toRead.size();) {
            Planned &planned = *toRead[i];
            DigestJob job;
            job.readPath = planned.source->readPath;
            job.size = planned.source->size;
            job.modifiedMs = planned.source->modifiedMs;
            job.sidecarBlockSize = planned.sidecarBlockSize;
            job.sidecarName = QFileInfo(planned.target).fileName();
            // A hard link publishes the file without a copy; where the file
            // system has none, the copy is made from the same read.
            if (::link(QFile::encodeName(job.readPath).constData(), QFile::encodeName(planned.staged).constData()) != 0)
                job.copyTo = planned.staged;
            planned.digests = digestFile(job, progress.bytesDone);
            ++progress.filesDone;
        }
    };
    std::vector<std::thread> workers;
    const int threads = qMax(2, QThread::idealThreadCount());
    for (int i = 0; i < threads; ++i)
        workers.emplace_back(work);
    for (std::thread &worker : workers)
        worker.join();

    for (const Planned *planned : toRead) {
        if (!planned->digests.error.isEmpty()) {
            m_problems.append(QStringLiteral("%1: %2").arg(planned->source->path, planned->digests.error));
            continue;
        }
        if (planned->sidecarBlockSize == 0)
            continue;
        const QString sidecarStaged = planned->target + sidecarSuffix + stagedSuffix;
        staged.append(sidecarStaged);
        QFile sidecar(sidecarStaged);
        if (!sidecar.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || sidecar.write(planned->digests.sidecar) != planned->digests.sidecar.size() || !sidecar.flush()) {
            m_problems.append(QStringLiteral("%1: its sidecar cannot be written: %2")
                                      .arg(planned->source->path, sidecar.errorString()));
        }
    }
    if (!m_problems.isEmpty()) {
        unstage();
        return false;
    }

    QList<ManifestEntry> entries;
    for (Planned &planned : plan) {
        if (planned.read)
            planned.md5 = planned.digests.md5;
        entries.append({ planned.source->path, fileUrl(m_baseUrl, planned.source->path), planned.md5,
                         planned.source->size });
        m_bytesPublished += planned.source->size;
    }
    const QByteArray manifest = manifestText(entries);
    const quint64 now = quint64(QDateTime::currentSecsSinceEpoch());
    const QByteArray comment = publicationComment(now, QFileInfo(m_manifestPath).fileName(), m_options.manifestUrl,
                                                  now + quint64(m_options.expiresDays) * 86400);
    const QByteArray signature = key.sign(manifest, comment);
    // The launcher's own check, before anything is in place.
    if (verifyMinisign(manifest, signature, { key.publicKey() }).check != SignatureCheck::Valid) {
        m_problems.append(QStringLiteral("the signature made does not verify"));
        unstage();
        return false;
    }
    QDir().mkpath(QFileInfo(m_manifestPath).absolutePath());
    QSaveFile signatureFile(m_manifestPath + QStringLiteral(".minisig"));
    QSaveFile manifestFile(m_manifestPath);
    for (QSaveFile *file : { &signatureFile, &manifestFile }) {
        const QByteArray &content = file == &manifestFile ? manifest : signature;
        if (!file->open(QIODevice::WriteOnly) || file->write(content) != content.size() || !file->flush()) {
            m_problems.append(QStringLiteral("%1 cannot be written: %2").arg(file->fileName(), file->errorString()));
            unstage();
            return false;
        }
    }

    // In place in the order players need: the files and their sidecars,
    // then the signature, then the manifest.
    for (const Planned *planned : toRead) {
        const bool moved = replaceWith(planned->staged, planned->target)
                && (planned->sidecarBlockSize == 0
                    || replaceWith(planned->target + sidecarSuffix + stagedSuffix, planned->target + sidecarSuffix));
        if (!moved) {
            m_problems.append(QStringLiteral("%1 cannot be put in place at %2: %3")
                                      .arg(planned->source->path, planned->target, QString::fromLocal8Bit(strerror(errno))));
            unstage();
            return false;
        }
    }
    for (QSaveFile *file : { &signatureFile, &manifestFile }) {
        if (!file->commit()) {
            m_problems.append(QStringLiteral("%1 cannot be put in place: %2").arg(file->fileName(), file->errorString()));
            return false;
        }
    }
    m_filesRead = int(toRead.size());

    // Files no longer listed stay one publication longer, for players who
    // fetched the manifest before; then they go.
    QStringList published;
    const QDir root(out);
    for (const Planned &planned : plan) {
        published.append(root.relativeFilePath(planned.target));
        if (planned.sidecarBlockSize > 0)
            published.append(root.relativeFilePath(planned.target + sidecarSuffix));
    }
    published << root.relativeFilePath(m_manifestPath) << root.relativeFilePath(m_manifestPath) + QStringLiteral(".minisig");
    const QSet<QString> listed(published.cbegin(), published.cend());
    for (const QString &gone : qAsConst(cache.dropped)) {
        if (!listed.contains(gone))
            QFile::remove(root.filePath(gone));
    }
    DigestCache next;
    for (const QString &was : qAsConst(cache.published)) {
        if (!listed.contains(was))
            next.dropped.append(was);
    }
    next.published = published;
    for (const Planned &planned : plan) {
        if (planned.source->modifiedMs < startMs - racyMs)
            next.files.insert(planned.source->path, { planned.source->size, planned.source->modifiedMs, planned.md5,
                                                      planned.sidecarBlockSize });
    }
    if (!saveCache(cachePath(), next))
        m_listing.warnings.append(QStringLiteral("the digest cache %1 cannot be written: the next publication "
                                                 "reads every file again")
                                          .arg(cachePath()));
    return true;
}
