#pragma once

#include "transfer/transfer.h"

#include <QObject>

class DeltaUpdate;

// Brings one outdated file up to date: from its old copy and the changed
// blocks where that is worth trying (DeltaUpdate), otherwise, or when that
// fails, by downloading it whole (Transfer). The transfer's temporary file
// takes the delta's result, so both end in the same commit.
class FileUpdate : public QObject
{
    Q_OBJECT

public:
    using Outcome = Transfer::Outcome;

    FileUpdate(QNetworkAccessManager &manager, const QString &url, const QString &target,
               const QString &expectedMd5, qint64 expectedSize, QObject *parent = nullptr);
    ~FileUpdate() override;

    // False when the target cannot be replaced.
    bool open();
    void start();
    // Ends at once, without finished(); see Transfer::abort.
    void abort(bool keepPart);

    Outcome outcome() const { return m_transfer.outcome(); }
    QString networkError() const { return m_transfer.networkError(); }
    qint64 received() const;
    qint64 total() const;

signals:
    void progressed();
    void finished();

private:
    bool deltaWorthTrying() const;
    void onDeltaFinished();
    template<typename Step>
    void guarded(Step &&step);

    QNetworkAccessManager &m_manager;
    const QString m_url;
    const QString m_target;
    const QString m_expected;
    const qint64 m_expectedSize;
    Transfer m_transfer;
    DeltaUpdate *m_delta = nullptr;
};
