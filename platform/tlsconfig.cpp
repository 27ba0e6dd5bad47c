#include "platform/tlsconfig.h"

#include "buildconfig.h"

#include <QSslCertificate>
#include <QSslConfiguration>

int addTrustedCaCertificates(const QByteArray &pem)
{
    const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
    if (extra.isEmpty())
        return 0;
    // The default configuration's own list would replace the system CAs;
    // start from the system list so both stay trusted.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    QSslConfiguration::setDefaultConfiguration(config);
    return extra.size();
}

int installBuiltInCaCertificates()
{
    return addTrustedCaCertificates(QByteArray(BuildConfig::extraCaPem));
}
