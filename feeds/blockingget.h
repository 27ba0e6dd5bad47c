#pragma once

#include "platform/fetchtimeout.h"

#include <QNetworkRequest>

#include <functional>

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;

// Starts a GET of `request` through `manager` and runs `loop` until the
// manager reports a finished reply. The caller has connected the manager's
// finished(QNetworkReply*) to the loop's quit() beforehand.
//
// The returned reply (owned by the manager) is always finished: a transfer
// that stalls for the inactivity timeout, or whose wait is ended from outside
// (its thread told to quit), is aborted and reports OperationCanceledError.
//
// `started`, when given, is called with the reply right after the GET is
// issued, so a caller can take the body in as it arrives (for instance
// stream it to disk) while the wait runs.
QNetworkReply *blockingGet(QNetworkAccessManager &manager, QEventLoop &loop,
                           const QNetworkRequest &request,
                           const std::function<void(QNetworkReply *)> &started = {});
