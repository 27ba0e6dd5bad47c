#include "standin/launchrecord.h"

#include "platform/ragempsettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray launchRecord(const RageMpSettings &settings, const QStringList &arguments,
                        const QString &workingDirectory, qint64 pid, const QDateTime &time)
{
    QJsonObject record;
    const QStringList keys { RageMpSettings::ragePathKey(), RageMpSettings::launchIpKey(),
                             RageMpSettings::launchPortKey(), RageMpSettings::launch2IpKey(),
                             RageMpSettings::launch2PortKey() };
    // A value that is not in the store shows as null, not as an empty text.
    for (const QString &key : keys)
        record.insert(key, settings.contains(key) ? QJsonValue(settings.value(key)) : QJsonValue());
    record.insert(QStringLiteral("argument"),
                  arguments.isEmpty() ? QJsonValue() : QJsonValue(arguments.first()));
    record.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(arguments));
    record.insert(QStringLiteral("workingDirectory"), workingDirectory);
    record.insert(QStringLiteral("pid"), pid);
    record.insert(QStringLiteral("time"), time.toString(Qt::ISODateWithMs));
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}
