// What the manifest's signature check adds to a loader run, measured side by
// side with what the run does with the manifest anyway: the manifest's fetch
// and its parse and split. The check is the .minisig fetched right after the
// manifest on the same connection, its verification, and the acceptance
// (verification and the trusted comment's rules, what was accepted before
// read from the launcher's settings and the new one kept there).
// Prints one JSON line of medians in milliseconds over the runs:
//   {"entries":2000,"manifestBytes":...,"fetchManifest":...,"parse":...,
//    "fetchSignature":...,"verify":...,"accept":...,"check":...}
// Usage: bench-signature <manifest url> <public key line> <runs>
// The settings land in $XDG_CONFIG_HOME (scripts/bench points it at its own
// folder).
#include "feeds/blockingget.h"
#include "loader/manifest.h"
#include "transfer/pipelinednetworkmanager.h"
#include "trust/minisign.h"
#include "trust/signeddocument.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double middle = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return std::round(middle * 1000) / 1000; // to the microsecond
}

double timedMs(const std::function<void()> &work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 || args.at(3).toInt() < 1) {
        std::fprintf(stderr, "usage: bench-signature <manifest url> <public key line> <runs>\n");
        return 2;
    }
    const QString manifestUrl = args.at(1);
    const QStringList keys { args.at(2) };
    const int runs = args.at(3).toInt();
    auto accepted = [&](const QByteArray &manifest, const QByteArray &signature) {
        SignedDocumentRules rules;
        rules.trustedKeys = keys;
        rules.address = manifestUrl;
        rules.now = QDateTime::currentSecsSinceEpoch();
        const SignedDocumentCheck check =
                checkSignedDocument(manifest, signature, rules, acceptedDocument(manifestUrl));
        return check.ok() && keepAcceptedDocument(manifestUrl, check.accepted);
    };

    PipelinedNetworkManager manager; // the loader run's
    QEventLoop loop;
    QObject::connect(&manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    auto get = [&](const QString &url) {
        QNetworkReply *reply = blockingGet(manager, loop, QNetworkRequest(QUrl(url)));
        const QByteArray body = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
        delete reply;
        return body;
    };

    QByteArray manifest = get(manifestUrl);
    QByteArray signature = get(manifestUrl + QStringLiteral(".minisig"));
    if (manifest.isEmpty() || signature.isEmpty()
        || !accepted(manifest, signature)) {
        std::fprintf(stderr, "bench-signature: the manifest or its signature is missing or refused\n");
        return 1;
    }
    QList<MinisignPublicKey> parsedKeys { *parseMinisignPublicKey(keys.first().toLatin1()) };

    std::vector<double> fetchManifest, parse, fetchSignature, verify, accept;
    int entries = 0;
    for (int i = 0; i < runs; ++i) {
        fetchManifest.push_back(timedMs([&] { manifest = get(manifestUrl); }));
        fetchSignature.push_back(timedMs([&] { signature = get(manifestUrl + QStringLiteral(".minisig")); }));
        verify.push_back(timedMs([&] {
            if (verifyMinisign(manifest, signature, parsedKeys).check != SignatureCheck::Valid)
                std::abort();
        }));
        accept.push_back(timedMs([&] {
            if (!accepted(manifest, signature))
                std::abort();
        }));
        parse.push_back(timedMs([&] {
            const ManifestSections sections = splitManifest(manifestArray(manifest));
            entries = sections.serverFiles.size() + sections.ragempFiles.size();
        }));
    }
    std::vector<double> check;
    for (int i = 0; i < runs; ++i)
        check.push_back(fetchSignature[std::size_t(i)] + accept[std::size_t(i)]);

    const QJsonObject out {
        { QStringLiteral("entries"), entries },
        { QStringLiteral("manifestBytes"), manifest.size() },
        { QStringLiteral("fetchManifest"), median(fetchManifest) },
        { QStringLiteral("parse"), median(parse) },
        { QStringLiteral("fetchSignature"), median(fetchSignature) },
        { QStringLiteral("verify"), median(verify) },
        { QStringLiteral("accept"), median(accept) },
        { QStringLiteral("check"), median(check) },
    };
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    return 0;
}
