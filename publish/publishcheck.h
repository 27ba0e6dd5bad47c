#pragma once

#include "transfer/pipelinednetworkmanager.h"
#include "trust/minisign.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QNetworkReply;
class QNetworkRequest;

// `zanrok-publish check`: a publication seen from a player's side, with the
// launcher's own readers and transfer code. Each problem is one line;
// anything else it says is marked as a note.

// A .pub file, or a key's base64 line (two with ';' between, as the build takes them).
std::optional<QList<MinisignPublicKey>> readPublicKeys(const QString &fileOrLine);

// What the trusted comment of a valid signature says: the launcher's verdict
// for the address the manifest was fetched from, the time `now` (seconds
// since 1970) and the launcher's floor, then what launchers take but should
// not be published. Problems and notes, one line each.
struct CommentFindings
{
    QStringList problems;
    QStringList notes;
};
CommentFindings checkTrustedComment(const QByteArray &trustedComment, const QString &manifestUrl, qint64 now,
                                    quint64 minimumTimestamp);

// What the version text's body says to launchers.
QString versionTextProblem(const QByteArray &body);

class PublicationCheck
{
public:
    struct Options
    {
        Options();
        QString manifestUrl;
        QList<MinisignPublicKey> keys;
        bool full = false;
        quint64 minimumTimestamp; // the launcher's floor; default: the build's
        QString versionUrl;  // default: the build's
        QString downloadUrl; // default: the build's
    };

    explicit PublicationCheck(Options options);

    void onLine(std::function<void(const QString &)> line) { m_line = std::move(line); }
    // Blocks until everything is checked; true when no problem was found.
    bool run();
    int problemCount() const { return m_problems; }

private:
    struct Entry;
    struct Answer;

    void problem(const QString &text);
    void note(const QString &text);
    Answer get(QNetworkRequest request, qint64 maxBytes, bool headersOnly = false);
    void startGet(QNetworkRequest request, qint64 maxBytes, bool headersOnly, std::function<void(const Answer &)> done);
    bool checkManifest(QList<Entry> &entries);
    static QString probeProblem(const Entry &entry, const Answer &answer);
    void checkEntries(const QList<Entry> &entries);
    void checkSidecar(const Entry &entry);
    void downloadAll(const QList<Entry> &entries);
    void checkVersionText();
    void checkDownloadPage();
    void waitForAll();

    Options m_options;
    PipelinedNetworkManager m_manager; // the loader run's
    std::function<void(const QString &)> m_line;
    int m_problems = 0;
    int m_running = 0;
};
