#include "publish/publishcheck.h"

#include "delta/deltaupdate.h"
#include "delta/sidecar.h"
#include "loader/manifest.h"
#include "loader/pathrules.h"
#include "platform/fetchtimeout.h"
#include "platform/networkaddresses.h"
#include "platform/tlsconfig.h"
#include "publish/terminal.h"
#include "transfer/byteranges.h"
#include "transfer/transfer.h"
#include "trust/signeddocument.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace {

// The launcher's own bounds on what it reads of the manifest and its signature.
constexpr qint64 manifestLimit = 64 * 1024 * 1024;
constexpr qint64 signatureLimit = 16 * 1024;
constexpr qint64 pageLimit = 1024 * 1024;
constexpr int probesInFlight = 8;
constexpr int downloadsInFlight = 4;
// A signing clock this far ahead of ours is suspect; less is ordinary drift.
constexpr qint64 clockSlackSeconds = 300;

QString whenText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

QString durationText(qint64 seconds)
{
    if (seconds >= 2 * 86400)
        return QStringLiteral("%1 days").arg(seconds / 86400);
    if (seconds >= 2 * 3600)
        return QStringLiteral("%1 hours").arg(seconds / 3600);
    return QStringLiteral("%1 minutes").arg(seconds / 60);
}

// The launcher asks for its whole files with Qt's default encodings and
// decodes these two itself; anything else reaches the disk encoded.
bool decodedByTheLauncher(const QByteArray &encoding)
{
    const QByteArray e = encoding.trimmed().toLower();
    return e == "gzip" || e == "deflate" || e == "identity";
}

} // namespace

struct PublicationCheck::Entry
{
    QString file;
    QString url;
    QString hash;
    qint64 size = -1;
};

struct PublicationCheck::Answer
{
    int status = 0;
    QString error; // the network's, when the request failed
    QByteArray contentType;
    QByteArray contentRange;
    QByteArray contentEncoding;
    qint64 contentLength = -1;
    QByteArray body;
    bool tooLong = false;
};

std::optional<QList<MinisignPublicKey>> readPublicKeys(const QString &fileOrLine)
{
    QByteArray text = fileOrLine.toLatin1();
    QFile file(fileOrLine);
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = file.read(4096).trimmed().split('\n');
        text = lines.last();
    }
    QList<MinisignPublicKey> keys;
    for (const QByteArray &line : text.split(';')) {
        const std::optional<MinisignPublicKey> key = parseMinisignPublicKey(line);
        if (!key)
            return std::nullopt;
        keys.append(*key);
    }
    return keys;
}

CommentFindings checkTrustedComment(const QByteArray &trustedComment, const QString &manifestUrl, qint64 now,
                                    quint64 minimumTimestamp)
{
    CommentFindings findings;
    // The launcher's own verdict, as for a player who has accepted nothing yet.
    SignedDocumentRules rules;
    rules.address = manifestUrl;
    rules.minimumTimestamp = minimumTimestamp;
    rules.now = now;
    const QString refusal = trustedCommentRefusal(trustedComment, QByteArray(), rules, std::nullopt);
    if (!refusal.isEmpty()) {
        findings.problems.append(refusal + QStringLiteral(": launchers refuse the manifest"));
        return findings;
    }

    // What launchers take, but should not be published.
    const qint64 timestamp = qint64(*trustedTimestamp(trustedComment));
    if (timestamp > now + clockSlackSeconds) {
        findings.problems.append(QStringLiteral("the timestamp %1 is %2 ahead of this clock: a launcher that "
                                                "accepts it refuses every manifest signed earlier than that")
                                         .arg(whenText(timestamp), durationText(timestamp - now)));
    } else {
        findings.notes.append(QStringLiteral("signed at %1").arg(whenText(timestamp)));
    }
    const std::optional<quint64> expires = trustedNumber(trustedComment, QByteArrayLiteral("expires:"));
    if (!expires) {
        findings.problems.append(QStringLiteral("the trusted comment has no expires: field: a manifest frozen "
                                                "by someone on the path is never refused"));
    } else {
        findings.notes.append(QStringLiteral("expires at %1, in %2")
                                      .arg(whenText(qint64(*expires)), durationText(qint64(*expires) - now)));
    }
    return findings;
}

QString versionTextProblem(const QByteArray &body)
{
    if (body.isEmpty())
        return QStringLiteral("the version text is empty: every launcher announces a new version at every start");
    if (body.endsWith('\n') || body.endsWith('\r')) {
        return QStringLiteral("the version text ends in a line break: launchers compare it whole, so every "
                              "launcher, the current one too, announces a new version at every start (write it "
                              "with printf '%1', not echo)")
                .arg(QString::fromUtf8(body.trimmed()));
    }
    if (body.trimmed() != body)
        return QStringLiteral("the version text has blanks around it: launchers compare it whole");
    return QString();
}

PublicationCheck::Options::Options()
    : minimumTimestamp(NetworkAddresses::builtIn().manifestMinTimestamp),
      versionUrl(NetworkAddresses::builtIn().versionFile()),
      downloadUrl(NetworkAddresses::builtIn().downloadPage())
{
}

PublicationCheck::PublicationCheck(Options options) : m_options(std::move(options)) { }

void PublicationCheck::problem(const QString &text)
{
    ++m_problems;
    if (m_line)
        m_line(QStringLiteral("problem: ") + text);
}

void PublicationCheck::note(const QString &text)
{
    if (m_line)
        m_line(QStringLiteral("note: ") + text);
}

void PublicationCheck::startGet(QNetworkRequest request, qint64 maxBytes, bool headersOnly,
                                std::function<void(const Answer &)> done)
{
    request.setTransferTimeout(int(fetchInactivityTimeout().count()));
    QNetworkReply *reply = m_manager.get(request);
    ++m_running;
    auto answer = std::make_shared<Answer>();
    auto stopped = std::make_shared<bool>(false);
    auto takeHeaders = [reply, answer] {
        answer->status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer->contentType = reply->rawHeader("Content-Type");
        answer->contentRange = reply->rawHeader("Content-Range");
        answer->contentEncoding = reply->rawHeader("Content-Encoding");
        bool ok = false;
        answer->contentLength = reply->rawHeader("Content-Length").toLongLong(&ok);
        if (!ok)
            answer->contentLength = -1;
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [=] {
        takeHeaders();
        // A whole file sent as it is: its headers say all.
        if (headersOnly && answer->status == 200 && answer->contentEncoding.isEmpty()) {
            *stopped = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [=] {
        if (*stopped)
            return;
        // An error's page says nothing the status does not; it is dropped
        // as it comes, so it may be of any length.
        if (answer->status >= 300) {
            reply->readAll();
            return;
        }
        answer->body += reply->read(maxBytes + 1 - answer->body.size());
        if (answer->body.size() > maxBytes) {
            answer->tooLong = true;
            *stopped = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [=] {
        if (!*stopped) {
            takeHeaders();
            answer->body += reply->read(maxBytes + 1 - answer->body.size());
            answer->tooLong = answer->body.size() > maxBytes;
            if (reply->error() != QNetworkReply::NoError)
                answer->error = reply->errorString();
        }
        reply->deleteLater();
        --m_running;
        done(*answer);
    });
}

PublicationCheck::Answer PublicationCheck::get(QNetworkRequest request, qint64 maxBytes, bool headersOnly)
{
    Answer result;
    startGet(std::move(request), maxBytes, headersOnly, [&result](const Answer &answer) { result = answer; });
    waitForAll();
    return result;
}

void PublicationCheck::waitForAll()
{
    while (m_running > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool PublicationCheck::run()
{
    installBuiltInCaCertificates();
    QList<Entry> entries;
    if (checkManifest(entries)) {
        checkEntries(entries);
        if (m_options.full)
            downloadAll(entries);
    }
    checkVersionText();
    checkDownloadPage();
    if (m_line) {
        m_line(m_problems == 0 ? QStringLiteral("no problem found: %1 files").arg(entries.size())
                               : QStringLiteral("%1 problem(s) found").arg(m_problems));
    }
    return m_problems == 0;
}

bool PublicationCheck::checkManifest(QList<Entry> &entries)
{
    // Fetched as the launcher fetches it, certificates unchecked: the
    // signature is what vouches for it.
    QNetworkRequest request { QUrl(m_options.manifestUrl) };
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
    const Answer manifest = get(request, manifestLimit);
    request.setUrl(QUrl(m_options.manifestUrl + QStringLiteral(".minisig")));
    const Answer signature = get(request, signatureLimit);
    bool fetched = true;
    for (const auto &[answer, name] : { std::pair(&manifest, m_options.manifestUrl),
                                        std::pair(&signature, m_options.manifestUrl + QStringLiteral(".minisig")) }) {
        if (!answer->error.isEmpty() || answer->status != 200) {
            problem(QStringLiteral("%1: %2").arg(name, answer->error.isEmpty()
                                                         ? QStringLiteral("HTTP %1").arg(answer->status)
                                                         : answer->error));
            fetched = false;
        } else if (answer->tooLong) {
            problem(QStringLiteral("%1: longer than the launcher reads").arg(name));
            fetched = false;
        }
    }
    if (!fetched)
        return false;

    const SignatureVerdict verdict = verifyMinisign(manifest.body, signature.body, m_options.keys);
    if (verdict.check != SignatureCheck::Valid) {
        QString why = signatureCheckText(verdict.check);
        if (verdict.check == SignatureCheck::UnknownKey)
            why += QStringLiteral(" (") + keyIdText(verdict.signature.keyId) + QLatin1Char(')');
        problem(QStringLiteral("the signature: %1: launchers refuse the manifest").arg(why));
    } else {
        note(QStringLiteral("signature valid, key %1").arg(keyIdText(verdict.signature.keyId)));
        const CommentFindings findings = checkTrustedComment(verdict.signature.trustedComment, m_options.manifestUrl,
                                                             QDateTime::currentSecsSinceEpoch(),
                                                             m_options.minimumTimestamp);
        for (const QString &text : findings.problems)
            problem(text);
        for (const QString &text : findings.notes)
            note(text);
    }

    const QJsonArray array = manifestArray(manifest.body);
    if (array.isEmpty()) {
        problem(QStringLiteral("the manifest is not a non-empty JSON array: launchers refuse it"));
        return false;
    }
    // Read as the launcher reads them.
    const ManifestSections sections = splitManifest(array);
    QList<Entry> listed;
    for (const auto &[prefix, files] : { std::pair(QStringLiteral("RAGEMP_FILES/"), &sections.ragempFiles),
                                         std::pair(QStringLiteral("SERVER_FILES/"), &sections.serverFiles) }) {
        for (const FileEntry &file : *files)
            listed.append({ prefix + file.file, file.url, file.hash, file.size });
    }
    if (listed.size() < array.size()) {
        problem(QStringLiteral("%1 of the manifest's elements are in neither section (RAGEMP_FILES/, "
                               "SERVER_FILES/): launchers skip them")
                        .arg(array.size() - listed.size()));
    }
    for (const Entry &entry : qAsConst(listed)) {
        if (!isSafeRelativePath(entry.file.mid(13), QStringLiteral("/base")))
            problem(QStringLiteral("%1: a path the launcher refuses").arg(entry.file));
        const bool lowerHex = entry.hash.size() == 32
                && std::all_of(entry.hash.cbegin(), entry.hash.cend(), [](QChar c) {
                       return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
                   });
        if (!lowerHex)
            problem(QStringLiteral("%1: its hash is not 32 lower-case hexadecimal digits").arg(entry.file));
        if (entry.size < 0)
            problem(QStringLiteral("%1: no size, or not a whole number of bytes").arg(entry.file));
        if (entry.url.isEmpty())
            problem(QStringLiteral("%1: no url").arg(entry.file));
        else
            entries.append(entry);
    }
    note(QStringLiteral("%1 entries in the manifest").arg(array.size()));
    return true;
}

QString PublicationCheck::probeProblem(const Entry &entry, const Answer &answer)
{
    if (answer.status != 200 && answer.status != 206) {
        if (!answer.error.isEmpty() && answer.status == 0)
            return QStringLiteral("%1: %2 (%3)").arg(entry.file, answer.error, entry.url);
        return QStringLiteral("%1: HTTP %2%3 (%4)")
                .arg(entry.file)
                .arg(answer.status)
                .arg(answer.status / 100 == 3 ? QStringLiteral(", a redirect the launcher does not follow") : QString(),
                     entry.url);
    }
    const QByteArray encoding = answer.contentEncoding.trimmed().toLower();
    if (!encoding.isEmpty() && !decodedByTheLauncher(encoding)) {
        return QStringLiteral("%1: sent with Content-Encoding %2, which the launcher writes to the disk as it "
                              "comes: its digest never matches")
                .arg(entry.file, QString::fromLatin1(encoding));
    }
    if (!encoding.isEmpty() && encoding != "identity") {
        // Decoded on the way: what counts is what comes out.
        const QString md5 = QString::fromLatin1(QCryptographicHash::hash(answer.body, QCryptographicHash::Md5).toHex());
        if (answer.tooLong || qint64(answer.body.size()) != entry.size || md5 != entry.hash) {
            return QStringLiteral("%1: sent with Content-Encoding %2, and decoded it is not the file the manifest "
                                  "lists")
                    .arg(entry.file, QString::fromLatin1(encoding));
        }
        return QString();
    }
    qint64 length = answer.contentLength;
    if (answer.status == 206) {
        const auto range = parseContentRange(answer.contentRange);
        length = range ? range->second : -1;
    }
    if (entry.size >= 0 && length != entry.size)
        return QStringLiteral("%1: the host has %2 bytes, the manifest says %3").arg(entry.file).arg(length).arg(entry.size);
    return QString();
}

void PublicationCheck::checkEntries(const QList<Entry> &entries)
{
    int next = 0;
    std::function<void()> startNext = [&] {
        if (next >= entries.size())
            return;
        const Entry *entry = &entries.at(next++);
        // One byte, asked the way the launcher asks for a whole file.
        QNetworkRequest request { QUrl(entry->url) };
        request.setRawHeader("Range", "bytes=0-0");
        startGet(request, qMax<qint64>(entry->size, 1), true, [this, entry, &startNext](const Answer &answer) {
            const QString why = probeProblem(*entry, answer);
            if (!why.isEmpty())
                problem(why);
            else if (entry->size >= DeltaUpdate::minimumSize)
                checkSidecar(*entry);
            startNext();
        });
    };
    for (int i = 0; i < probesInFlight; ++i)
        startNext();
    waitForAll();
}

void PublicationCheck::checkSidecar(const Entry &entry)
{
    QNetworkRequest request { QUrl(sidecarUrl(entry.url)) };
    startGet(request, maxSidecarBytes, false, [this, entry](const Answer &answer) {
        if (answer.status == 404)
            return; // whole downloads only, as before deltas
        const std::optional<Sidecar> sidecar = answer.status == 200 ? parseSidecar(answer.body) : std::nullopt;
        if (!sidecar) {
            problem(QStringLiteral("%1: its sidecar does not read (%2)")
                            .arg(entry.file, answer.error.isEmpty() ? QStringLiteral("HTTP %1").arg(answer.status) : answer.error));
            return;
        }
        if (sidecar->length != entry.size) {
            problem(QStringLiteral("%1: its sidecar describes %2 bytes, not %3: a stale sidecar")
                            .arg(entry.file)
                            .arg(sidecar->length)
                            .arg(entry.size));
            return;
        }
        // Two ranges in one request, as a delta asks for them.
        QNetworkRequest ranges { QUrl(entry.url) };
        ranges.setRawHeader("Range", rangeHeader({ { 0, 1 }, { entry.size - 1, entry.size } }));
        ranges.setRawHeader("Accept-Encoding", "identity");
        startGet(ranges, 64 * 1024, false, [this, entry](const Answer &answer) {
            std::optional<ByteRangesReader> reader;
            if (answer.status == 206 && answer.contentEncoding.isEmpty())
                reader = ByteRangesReader::forAnswer(answer.contentType, answer.contentRange, entry.size);
            qint64 bytes = 0;
            const bool read = reader && reader->feed(answer.body.constData(), answer.body.size(),
                                                     [&bytes](qint64, const char *, qint64 size) {
                                                         bytes += size;
                                                         return true;
                                                     });
            if (!read || !reader->complete() || bytes != 2) {
                problem(QStringLiteral("%1: has a sidecar, but the host does not answer two ranges in one request "
                                       "(HTTP %2%3): deltas fall back to a request a range, or to whole downloads")
                                .arg(entry.file)
                                .arg(answer.status)
                                .arg(answer.contentEncoding.isEmpty() ? QString()
                                                                      : QStringLiteral(", encoded ")
                                                 + QString::fromLatin1(answer.contentEncoding)));
            }
        });
    });
}

void PublicationCheck::downloadAll(const QList<Entry> &entries)
{
    QTemporaryDir folder;
    int next = 0;
    int running = 0;
    int done = 0;
    std::function<void()> startNext = [&] {
        if (next >= entries.size())
            return;
        const Entry *entry = &entries.at(next);
        const QString target = folder.filePath(QString::number(next++));
        auto *transfer = new Transfer(m_manager, entry->url, target, entry->hash, entry->size);
        ++running;
        auto ended = std::make_shared<bool>(false);
        auto end = [&, entry, transfer, target, ended](const QString &why) {
            if (*ended)
                return;
            *ended = true;
            if (!why.isEmpty())
                problem(QStringLiteral("%1: %2").arg(entry->file, why));
            transfer->deleteLater();
            QFile::remove(target);
            --running;
            ++done;
            startNext();
        };
        QObject::connect(transfer, &Transfer::finished, transfer, [transfer, end] {
            switch (transfer->outcome()) {
            case Transfer::Outcome::Completed:
                return end(QString());
            case Transfer::Outcome::NetworkFailed:
                return end(transfer->networkError());
            default:
                return end(QStringLiteral("its download does not match the manifest's digest and size"));
            }
        });
        if (!transfer->open())
            return end(QStringLiteral("no room for its download in %1").arg(folder.path()));
        transfer->start();
    };
    for (int i = 0; i < downloadsInFlight; ++i)
        startNext();
    while (running > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    note(QStringLiteral("%1 files downloaded whole and checked against their digests").arg(done));
}

void PublicationCheck::checkVersionText()
{
    const Answer answer = get(QNetworkRequest(QUrl(m_options.versionUrl)), pageLimit);
    if (!answer.error.isEmpty() || answer.status != 200) {
        problem(QStringLiteral("the version text %1: %2 (launchers then announce nothing)")
                        .arg(m_options.versionUrl,
                             answer.error.isEmpty() ? QStringLiteral("HTTP %1").arg(answer.status) : answer.error));
        return;
    }
    const QString trap = versionTextProblem(answer.body);
    if (!trap.isEmpty())
        problem(trap);
    else
        note(QStringLiteral("the version text is \"%1\"").arg(QString::fromUtf8(answer.body)));
}

void PublicationCheck::checkDownloadPage()
{
    // Opened in the player's browser, which follows redirects.
    QNetworkRequest request { QUrl(m_options.downloadUrl) };
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    const Answer answer = get(request, pageLimit);
    if (!answer.error.isEmpty() && !answer.tooLong)
        problem(QStringLiteral("the download page %1: %2").arg(m_options.downloadUrl, answer.error));
    else if (answer.status != 200)
        problem(QStringLiteral("the download page %1: HTTP %2").arg(m_options.downloadUrl).arg(answer.status));
}
