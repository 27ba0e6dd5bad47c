#include "transfer/pipelinednetworkmanager.h"

#include "transfer/httppipeline.h"

#include <QNetworkProxyFactory>

namespace {

// Qt's manager opens this many connections to a host.
constexpr int qtConnectionsPerHost = 6;

bool direct(const QNetworkProxy &proxy)
{
    return proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy;
}

} // namespace

PipelinedNetworkManager::PipelinedNetworkManager(QObject *parent)
    : QNetworkAccessManager(parent), m_pipeline(std::make_unique<HttpPipeline>())
{
}

PipelinedNetworkManager::~PipelinedNetworkManager() = default;

bool PipelinedNetworkManager::pipelines(const QUrl &url) const
{
    if (url.scheme() != QLatin1String("http") || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    // Decided once a host: the system's answer may take a while on Windows.
    const QString key = url.host().toLower() + QLatin1Char(':') + QString::number(url.port(80));
    auto found = m_direct.find(key);
    if (found == m_direct.end()) {
        bool noProxy = proxy().type() == QNetworkProxy::NoProxy;
        if (!noProxy && direct(proxy()) && !proxyFactory() && direct(QNetworkProxy::applicationProxy())) {
            const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
            noProxy = proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
        }
        found = m_direct.insert(key, noProxy);
    }
    return *found;
}

bool PipelinedNetworkManager::oneAtATime(const QUrl &url) const
{
    return m_pipeline->oneAtATime(url);
}

QNetworkReply *PipelinedNetworkManager::createRequest(Operation op, const QNetworkRequest &request,
                                                      QIODevice *outgoingData)
{
    if (op == GetOperation && !outgoingData && pipelines(request.url()))
        return m_pipeline->get(request, this);
    return QNetworkAccessManager::createRequest(op, request, outgoingData);
}

int requestsCarriedAtOnce(const QNetworkAccessManager &manager, const QUrl &url)
{
    const auto *pipelined = qobject_cast<const PipelinedNetworkManager *>(&manager);
    return pipelined && pipelined->pipelines(url) ? HttpPipeline::maxConnections * HttpPipeline::maxInFlight
                                                  : qtConnectionsPerHost;
}
