#pragma once

#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <memory>

class HttpPipeline;

// A request attribute: the length of the body the caller expects, in bytes
// (qint64), when it knows it. A large one gets a connection of its own.
constexpr QNetworkRequest::Attribute expectedSizeAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);

// The network manager of a loader run: GETs of plain-HTTP addresses that no
// proxy stands in front of go through an HttpPipeline (pipelined, on this
// thread), everything else through Qt's own manager, as before: pipelining
// through a proxy nobody knows is not worth the risk. Its replies look the
// same either way.
class PipelinedNetworkManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit PipelinedNetworkManager(QObject *parent = nullptr);
    ~PipelinedNetworkManager() override;

    // GETs of `url` go through the pipeline.
    bool pipelines(const QUrl &url) const;
    // Its host is asked one request at a time, having mishandled pipelining.
    bool oneAtATime(const QUrl &url) const;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    std::unique_ptr<HttpPipeline> m_pipeline;
    mutable QHash<QString, bool> m_direct; // host:port: no proxy in the way
};

// How many requests to `url` `manager` carries at once without making them
// wait for each other: Qt's six connections a host, or as many as the
// pipeline keeps in flight.
int requestsCarriedAtOnce(const QNetworkAccessManager &manager, const QUrl &url);
