#pragma once

#include "loader/manifest.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <vector>

class HashAhead;
class QNetworkAccessManager;
class FileUpdate;

// One file's synchronisation, for the phases to hang their status texts on.
enum class SyncStep {
    Started,  // before the target's existence test
    Hashing,  // the target exists and is being hashed
    Opening,  // folders made, about to open the target for writing
    Opened,   // the target is open for writing
    Written,  // the whole body arrived and matched, about to be put in place
};

struct SyncResult
{
    enum Outcome {
        UpToDate,       // the existing file matched; nothing written
        Replaced,       // downloaded and put in place
        CreateFailed,   // unsafe path, or the target could not be opened or replaced
        NetworkFailed,  // the last try reported an error (see networkError)
        DownloadFailed, // cut, mismatched or unwritable body; nothing put in place
        Stopped,        // the loader thread is being stopped
    };
    Outcome outcome = UpToDate;
    QString networkError;
};

struct SyncHooks
{
    // Each entry's steps, entry after entry in manifest order, for the
    // earliest entry not yet done.
    std::function<void(int index, SyncStep step)> step;
    // Bytes of the earliest unfinished entry while it downloads, at most four
    // times a second; `total` is -1 while unknown.
    std::function<void(int index, qint64 received, qint64 total)> progress;
    // A downloaded file was put in place (in whatever order files finish).
    std::function<void(int index)> placed;
    // Once every existing target is hashed, before anything is written: the
    // sizes of the files to fetch (-1 where unknown). False ends the
    // synchronisation there, with nothing written.
    std::function<bool(const QList<qint64> &sizes)> room;
};

// What ended a synchronisation: every entry done, the first failure in
// manifest order (`failedIndex`), no room for the files to fetch, or a stop.
struct SyncOutcome
{
    int failedIndex = -1;
    SyncResult failure;
    bool noRoom = false;
    bool stopped() const { return failure.outcome == SyncResult::Stopped; }
};

// Brings a list of files up to date in a base folder. Existing files are
// hashed ahead on two threads; once all are, and there is room for what must
// be fetched, as many downloads are in flight on the one network manager as
// it carries at once (requestsCarriedAtOnce), and everything the phases see
// (steps, progress, the failure that ends the list) comes in manifest order,
// as if the entries ran one after another: entries for the same target (or
// a folder of it) never overlap, and a failure aborts only the downloads of
// later entries.
class SyncScheduler : public QObject
{
    Q_OBJECT

public:
    static constexpr int hashThreads = 2;

    explicit SyncScheduler(QNetworkAccessManager &manager, QObject *parent = nullptr);
    ~SyncScheduler() override;

    // Blocks in a local event loop until done. When the calling thread is
    // told to quit meanwhile, it ends at once: downloads aborted (keeping
    // only parts worth resuming), hashing stopped. A failure aborts the
    // later downloads the same way.
    SyncOutcome run(const QList<FileEntry> &entries, const QString &baseFolder,
                    const SyncHooks &hooks);

private:
    struct Item;

    void plan(const QString &baseFolder);
    void submitHash(int index);
    void pump();
    void failAtCursor();
    void takeHashResults();
    void startTransfers();
    bool roomForDownloads();
    void advanceCursor();
    void reportStepsUpTo(int index, Item &item);
    void reportProgress(int index);
    void onTransferFinished(int index);
    void finishItem(int index, SyncResult::Outcome outcome, const QString &networkError = {});
    void abortTransfers(int after);

    QNetworkAccessManager &m_manager;
    QEventLoop m_loop;
    const QList<FileEntry> *m_entries = nullptr;
    QString m_baseFolder;
    SyncHooks m_hooks;
    std::vector<Item> m_items;
    std::unique_ptr<HashAhead> m_hashAhead;
    std::set<int> m_downloads; // checked, waiting for a slot
    std::set<int> m_active;    // downloading
    QSet<QString> m_madeFolders;
    int m_cursor = 0;
    int m_failedIndex = 0; // the entry count while nothing failed
    int m_hashesPending = 0; // of the first hashing, which the first write waits for
    bool m_roomChecked = false;
    bool m_noRoom = false;
    bool m_done = false;
    bool m_pumping = false;
    bool m_pumpAgain = false;
    std::atomic<bool> m_hashWake { false };
    QElapsedTimer m_progressClock;
};
