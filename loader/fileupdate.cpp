#include "loader/fileupdate.h"

#include "delta/deltaupdate.h"

#include <QFileInfo>

#include <exception>

FileUpdate::FileUpdate(QNetworkAccessManager &manager, const QString &url, const QString &target,
                       const QString &expectedMd5, qint64 expectedSize, QObject *parent)
    : QObject(parent),
      m_manager(manager),
      m_url(url),
      m_target(target),
      m_expected(expectedMd5),
      m_expectedSize(expectedSize),
      m_transfer(manager, url, target, expectedMd5, expectedSize)
{
    connect(&m_transfer, &Transfer::progressed, this, &FileUpdate::progressed);
    connect(&m_transfer, &Transfer::finished, this, &FileUpdate::finished);
}

FileUpdate::~FileUpdate()
{
    // The delta's threads must be gone before the temporary file they write.
    delete m_delta;
}

bool FileUpdate::open()
{
    return m_transfer.open();
}

void FileUpdate::start()
{
    guarded([this] {
        if (!deltaWorthTrying())
            return m_transfer.start();
        m_delta = new DeltaUpdate(m_manager, m_url, m_target, m_transfer.partFileName(), m_expected,
                                  m_expectedSize, this);
        connect(m_delta, &DeltaUpdate::progressed, this, &FileUpdate::progressed);
        connect(m_delta, &DeltaUpdate::finished, this, [this] { guarded([this] { onDeltaFinished(); }); });
        m_delta->start();
    });
}

template<typename Step>
void FileUpdate::guarded(Step &&step)
{
    // Like the transfer's own guard: a fault ends this file's update, never
    // unwinds through the event loop.
    try {
        step();
    } catch (const std::exception &) {
        if (m_delta)
            m_delta->abort();
        m_transfer.fail();
    }
}

void FileUpdate::abort(bool keepPart)
{
    if (m_delta)
        m_delta->abort();
    m_transfer.abort(keepPart);
}

qint64 FileUpdate::received() const
{
    return m_delta ? m_delta->fetched() : m_transfer.received();
}

qint64 FileUpdate::total() const
{
    return m_delta ? m_delta->needed() : m_transfer.total();
}

bool FileUpdate::deltaWorthTrying() const
{
    // A kept part is resumed instead; without a digest nothing would vouch
    // for the result.
    return m_transfer.keptPartSize() == 0 && !m_expected.isEmpty()
            && QFileInfo(m_target).size() >= DeltaUpdate::minimumSize;
}

void FileUpdate::onDeltaFinished()
{
    const bool assembled = m_delta->outcome() == DeltaUpdate::Outcome::Assembled;
    m_delta->deleteLater();
    m_delta = nullptr;
    if (assembled)
        m_transfer.commitPrepared();
    else
        m_transfer.startAfresh(); // whatever the delta left in the temporary file goes
}
