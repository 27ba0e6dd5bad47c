#include "loaderharness.h"

#include "loader/gameloaderstatus.h"
#include "loader/gameloaderworker.h"
#include "transfer/transfer.h"
#include "platform/ragempsettings.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonObject>
#include <QtTest>

LoaderHarness::LoaderHarness()
{
    // Set before anything reads them: the loader and the stand-in both
    // resolve their folders from these.
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    // Retries as the player gets them, only sooner.
    setRetryBackoffBase(std::chrono::milliseconds(20));

    // The status object lives on the loader thread here, so each report
    // reaches its setters at once and every change is recorded unmerged.
    m_status = new GameLoaderStatus;
    m_status->moveToThread(&m_thread);
    connect(m_status, &GameLoaderStatus::infoChange, m_status,
            [this] {
                QMutexLocker lock(&m_mutex);
                infos << m_status->info();
            }, Qt::DirectConnection);
    connect(m_status, &GameLoaderStatus::loadPercentChange, m_status,
            [this] { percents << m_status->loadPercent(); }, Qt::DirectConnection);

    m_worker = new GameLoaderWorker(server.url("/files.json").toString(),
                                    [this](const QString &text) {
                                        QMutexLocker lock(&m_mutex);
                                        m_messages << text;
                                    });
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &GameLoaderWorker::resultReady, this,
            [this](bool ok, const QString &text) {
                finished = true;
                result = ok;
                errorInfo = text;
            });
    m_thread.start();
}

LoaderHarness::~LoaderHarness()
{
    m_thread.quit();
    m_thread.wait();
    delete m_status;
}

QJsonObject LoaderHarness::publish(const QString &file, const QByteArray &path,
                                   const QByteArray &content, const QString &hash)
{
    server.setBody(path, content);
    const QString digest = hash.isNull()
            ? QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())
            : hash;
    return { { "file", file }, { "url", server.url(path).toString() }, { "hash", digest },
             { "size", content.size() } };
}

void LoaderHarness::setManifest(const QJsonArray &manifest)
{
    server.setBody("/files.json", QJsonDocument(manifest).toJson());
}

void LoaderHarness::setManifestKeys(const QStringList &keys)
{
    GameLoaderWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, keys] { worker->setManifestKeys(keys); },
                              Qt::BlockingQueuedConnection);
}

bool LoaderHarness::run()
{
    startRun();
    // A hang guard only: a run takes well under a second, but far longer
    // under a sanitizer.
    return QTest::qWaitFor([this] { return finished; }, 180000);
}

void LoaderHarness::startRun()
{
    finished = false;
    GameLoaderWorker *worker = m_worker;
    GameLoaderStatus *status = m_status;
    QMetaObject::invokeMethod(worker, [worker, status] { worker->loadGame(status); },
                              Qt::QueuedConnection);
}

bool LoaderHarness::waitForInfo(const QString &prefix)
{
    return QTest::qWaitFor([&] {
        QMutexLocker lock(&m_mutex);
        return std::any_of(infos.begin(), infos.end(),
                           [&](const QString &info) { return info.startsWith(prefix); });
    }, 60000);
}

bool LoaderHarness::stopRun()
{
    m_thread.quit();
    if (!m_thread.wait(60000))
        return false;
    return QTest::qWaitFor([this] { return finished; }, 10000);
}

QStringList LoaderHarness::messages() const
{
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

void LoaderHarness::clearRecords()
{
    infos.clear();
    percents.clear();
    QMutexLocker lock(&m_mutex);
    m_messages.clear();
}

QString LoaderHarness::serverFolder(const char *identifier) const
{
    return installFolder() + "/client_resources/" + QString::fromLatin1(identifier);
}

QString LoaderHarness::settingsValue(const QString &key) const
{
    RageMpSettings settings;
    return settings.contains(key) ? settings.value(key) : QStringLiteral("<absent>");
}

void LoaderHarness::setSetting(const QString &key, const QString &value)
{
    RageMpSettings settings;
    settings.setValue(key, value);
    settings.sync();
}

QString LoaderHarness::preinstall()
{
    const QString folder = installFolder();
    QDir().mkpath(folder);
    const QString exe = folder + "/ragemp_v.exe";
    writeFile(exe, standinClient());
    QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner);
    setSetting(RageMpSettings::ragePathKey(), folder);
    return folder;
}

QStringList LoaderHarness::launchLog(const QString &ragePath) const
{
    const QByteArray text = readFile(ragePath + "/ragemp-standin.log");
    QStringList lines = QString::fromUtf8(text).split('\n');
    lines.removeAll(QString());
    return lines;
}

bool LoaderHarness::waitForLaunchLog(const QString &ragePath, int lines) const
{
    return QTest::qWaitFor([&] { return launchLog(ragePath).size() >= lines; }, 30000);
}

QByteArray LoaderHarness::standinClient()
{
    static const QByteArray bytes = readFile(QStringLiteral(STANDIN_PATH));
    return bytes;
}

QByteArray LoaderHarness::readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void LoaderHarness::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

QStringList LoaderHarness::filesUnder(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(folder.size() + 1);
    files.sort();
    return files;
}
