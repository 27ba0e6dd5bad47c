#include "loader/syncscheduler.h"

#include "delta/faultpoint.h"
#include "loader/fileupdate.h"
#include "loader/hashahead.h"
#include "loader/pathrules.h"
#include "platform/diagnostics.h"
#include "transfer/pipelinednetworkmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <exception>

namespace {

constexpr qint64 progressInterval = 250; // ms: at most four updates a second

// One key per file that a player's system may open under the name: the
// cleaned path, case ignored as Windows ignores it (Qt's folding joins every
// pair that the NTFS upper-case table joins). Where case matters the names
// stay two files; a shared key only makes their entries run in turn.
QString targetKey(const QString &path)
{
    return QDir::cleanPath(path).toCaseFolded();
}

} // namespace

struct SyncScheduler::Item
{
    QString target;
    std::vector<int> dependents; // wait for this entry to be done
    bool existsKnown = false;    // the target exists (its digest may still be coming)
    bool opening = false;
    bool opened = false;
    bool written = false;
    bool finished = false;
    SyncResult result;
    int reported = -1; // the last SyncStep told to the phase
    FileUpdate *transfer = nullptr;
};

SyncScheduler::SyncScheduler(QNetworkAccessManager &manager, QObject *parent)
    : QObject(parent), m_manager(manager)
{
}

SyncScheduler::~SyncScheduler()
{
    if (m_hashAhead)
        m_hashAhead->stop();
}

SyncOutcome SyncScheduler::run(const QList<FileEntry> &entries, const QString &baseFolder,
                               const SyncHooks &hooks)
{
    m_entries = &entries;
    m_baseFolder = baseFolder;
    m_hooks = hooks;
    m_items = std::vector<Item>(std::size_t(entries.size()));
    m_failedIndex = entries.size();
    m_hashAhead = std::make_unique<HashAhead>(hashThreads, [this] {
        // Called on a hashing thread: one posted call at a time.
        if (!m_hashWake.exchange(true))
            QMetaObject::invokeMethod(this, [this] {
                m_hashWake = false;
                pump();
            }, Qt::QueuedConnection);
    });
    plan(baseFolder);
    pump();
    if (!m_done)
        m_loop.exec();
    const bool stopped = !m_done;
    m_hashAhead->stop();
    abortTransfers(-1);

    SyncOutcome outcome;
    if (stopped) {
        outcome.failure.outcome = SyncResult::Stopped;
    } else if (m_noRoom) {
        outcome.noRoom = true;
    } else if (m_failedIndex < entries.size()) {
        outcome.failedIndex = m_failedIndex;
        outcome.failure = m_items[std::size_t(m_failedIndex)].result;
    }
    return outcome;
}

void SyncScheduler::plan(const QString &baseFolder)
{
    // An entry waits for the latest earlier one that writes the same path,
    // or a file where it needs a folder, or a folder where it writes a file:
    // run one after another, those gave a definite result, and so must this.
    QHash<QString, int> lastFile;
    QHash<QString, int> lastFolder;
    const int count = int(m_items.size());
    for (int i = 0; i < count; ++i) {
        const FileEntry &entry = m_entries->at(i);
        Item &item = m_items[std::size_t(i)];
        if (!isSafeRelativePath(entry.file, baseFolder)) {
            // Refused before anything of it is done; later entries are not touched.
            item.finished = true;
            item.result.outcome = SyncResult::CreateFailed;
            m_failedIndex = i;
            break;
        }
        item.target = baseFolder + QLatin1Char('/') + entry.file;
        const QString key = targetKey(item.target);
        int waitFor = qMax(lastFile.value(key, -1), lastFolder.value(key, -1));
        for (const QString &prefix : parentFolderPrefixes(entry.file)) {
            const QString folderKey = targetKey(baseFolder + prefix);
            waitFor = qMax(waitFor, lastFile.value(folderKey, -1));
            lastFolder.insert(folderKey, i);
        }
        lastFile.insert(key, i);
        if (waitFor >= 0)
            m_items[std::size_t(waitFor)].dependents.push_back(i);
        else
            submitHash(i);
    }
}

void SyncScheduler::submitHash(int index)
{
    m_hashAhead->submit(index, m_items[std::size_t(index)].target);
    if (!m_roomChecked)
        ++m_hashesPending;
}

void SyncScheduler::pump()
{
    if (m_done)
        return;
    if (m_pumping) {
        m_pumpAgain = true;
        return;
    }
    m_pumping = true;
    try {
        do {
            m_pumpAgain = false;
            takeHashResults();
            startTransfers();
            advanceCursor();
        } while (m_pumpAgain && !m_done);
    } catch (const std::exception &) {
        failAtCursor();
    }
    m_pumping = false;
    if (m_done)
        m_loop.quit();
}

void SyncScheduler::failAtCursor()
{
    // Memory that runs out between steps (a pump runs from the event loop)
    // must not unwind through it: the run ends as a failed download of the
    // earliest entry not done, and run() aborts the rest. Allocates nothing.
    if (m_cursor < m_failedIndex) {
        Item &item = m_items[std::size_t(m_cursor)];
        item.finished = true;
        item.result.outcome = SyncResult::DownloadFailed;
        m_failedIndex = m_cursor;
    }
    m_done = true;
}

void SyncScheduler::takeHashResults()
{
    for (const HashAhead::Result &result : m_hashAhead->takeResults()) {
        failIfChosen(DeltaStep::Schedule);
        if (result.hashed && !m_roomChecked)
            --m_hashesPending;
        if (result.index >= m_failedIndex)
            continue;
        Item &item = m_items[std::size_t(result.index)];
        item.existsKnown = result.exists;
        if (!result.hashed)
            continue;
        if (result.exists && result.digest == m_entries->at(result.index).hash)
            finishItem(result.index, SyncResult::UpToDate);
        else
            m_downloads.insert(result.index);
    }
}

void SyncScheduler::startTransfers()
{
    if (!m_roomChecked) {
        // The room for every download is known only once every digest is.
        if (m_hashesPending > 0)
            return;
        m_roomChecked = true;
        if (!roomForDownloads()) {
            m_noRoom = true;
            m_done = true;
            return;
        }
    }
    while (!m_downloads.empty()) {
        const int index = *m_downloads.begin();
        // No more than the manager carries at once: one waiting behind the
        // others would use up its time without progress.
        if (int(m_active.size()) >= requestsCarriedAtOnce(m_manager, QUrl(m_entries->at(index).url)))
            break;
        m_downloads.erase(m_downloads.begin());
        if (index >= m_failedIndex)
            continue;
        const FileEntry &entry = m_entries->at(index);
        Item &item = m_items[std::size_t(index)];
        for (const QString &prefix : parentFolderPrefixes(entry.file)) {
            const QString folder = m_baseFolder + prefix;
            if (m_madeFolders.contains(folder))
                continue;
            if (!QFileInfo::exists(folder))
                QDir().mkdir(folder);
            m_madeFolders.insert(folder);
        }
        item.opening = true;
        // Starting a download is guarded like the download itself: a fault
        // here (memory, a thread that cannot start) fails this entry only.
        FileUpdate *transfer = nullptr;
        try {
            transfer = new FileUpdate(m_manager, entry.url, item.target, entry.hash, entry.size, this);
            if (!transfer->open()) {
                delete transfer;
                finishItem(index, SyncResult::CreateFailed);
                continue;
            }
        } catch (const std::exception &) {
            delete transfer;
            finishItem(index, SyncResult::DownloadFailed);
            continue;
        }
        item.opened = true;
        item.transfer = transfer;
        m_active.insert(index);
        connect(transfer, &FileUpdate::finished, this, [this, index] { onTransferFinished(index); });
        connect(transfer, &FileUpdate::progressed, this, [this, index] {
            if (index == m_cursor)
                reportProgress(index);
        });
        transfer->start();
    }
}

bool SyncScheduler::roomForDownloads()
{
    if (!m_hooks.room)
        return true;
    // What waits for an earlier entry of the same target counts as fetched.
    QList<qint64> sizes;
    for (int i = 0; i < m_failedIndex; ++i) {
        if (!m_items[std::size_t(i)].finished)
            sizes << m_entries->at(i).size;
    }
    return m_hooks.room(sizes);
}

void SyncScheduler::onTransferFinished(int index)
{
    Item &item = m_items[std::size_t(index)];
    FileUpdate *transfer = item.transfer;
    item.transfer = nullptr;
    m_active.erase(index);
    transfer->deleteLater();
    switch (transfer->outcome()) {
    case FileUpdate::Outcome::Completed:
        item.written = true;
        if (m_hooks.placed)
            m_hooks.placed(index);
        finishItem(index, SyncResult::Replaced);
        break;
    case FileUpdate::Outcome::CreateFailed:
        finishItem(index, SyncResult::CreateFailed);
        break;
    case FileUpdate::Outcome::NetworkFailed:
        finishItem(index, SyncResult::NetworkFailed, transfer->networkError());
        break;
    case FileUpdate::Outcome::DownloadFailed:
    case FileUpdate::Outcome::Running:
    case FileUpdate::Outcome::Aborted:
        finishItem(index, SyncResult::DownloadFailed);
        break;
    }
    pump();
}

void SyncScheduler::finishItem(int index, SyncResult::Outcome outcome, const QString &networkError)
{
    static const char *const outcomes[] = { "up to date", "replaced", "cannot be created",
                                            "download failed:", "download failed", "stopped" };
    qCInfo(lcLoader).noquote() << m_entries->at(index).file << outcomes[outcome] << networkError;
    Item &item = m_items[std::size_t(index)];
    item.finished = true;
    item.result = { outcome, networkError };
    if (outcome == SyncResult::UpToDate || outcome == SyncResult::Replaced) {
        for (int waiting : item.dependents) {
            if (waiting < m_failedIndex)
                submitHash(waiting);
        }
        return;
    }
    if (index < m_failedIndex) {
        m_failedIndex = index;
        abortTransfers(index);
    }
}

void SyncScheduler::abortTransfers(int after)
{
    // A part worth resuming stays: its note lets only the same file take it up.
    for (auto it = m_active.upper_bound(after); it != m_active.end();) {
        Item &item = m_items[std::size_t(*it)];
        item.transfer->abort(true);
        item.transfer->deleteLater();
        item.transfer = nullptr;
        it = m_active.erase(it);
    }
}

void SyncScheduler::advanceCursor()
{
    const int count = int(m_items.size());
    while (m_cursor < count) {
        Item &item = m_items[std::size_t(m_cursor)];
        if (m_cursor == m_failedIndex && item.target.isEmpty()) {
            // A refused path: nothing of it was begun.
            m_done = true;
            return;
        }
        reportStepsUpTo(m_cursor, item);
        if (!item.finished)
            return;
        if (m_cursor == m_failedIndex) {
            m_done = true;
            return;
        }
        ++m_cursor;
    }
    m_done = true;
}

void SyncScheduler::reportStepsUpTo(int index, Item &item)
{
    auto tell = [&](SyncStep step) {
        if (int(step) <= item.reported)
            return;
        item.reported = int(step);
        m_hooks.step(index, step);
    };
    tell(SyncStep::Started);
    if (item.existsKnown)
        tell(SyncStep::Hashing);
    if (item.opening)
        tell(SyncStep::Opening);
    if (item.opened && item.reported < int(SyncStep::Opened)) {
        tell(SyncStep::Opened);
        // A file that arrives within the first interval shows no bytes.
        m_progressClock.start();
    }
    if (item.written)
        tell(SyncStep::Written);
}

void SyncScheduler::reportProgress(int index)
{
    Item &item = m_items[std::size_t(index)];
    if (!item.transfer || item.reported < int(SyncStep::Opened) || !m_hooks.progress)
        return;
    if (!m_progressClock.isValid() || m_progressClock.elapsed() < progressInterval)
        return;
    m_progressClock.start();
    m_hooks.progress(index, item.transfer->received(), item.transfer->total());
}
