#pragma once

#include <QLoggingCategory>

// The launcher's diagnostics, silent unless asked for: the categories let
// warnings through only, and the launcher logs at info level, so nothing is
// printed until a rule such as QT_LOGGING_RULES="zanrok.*=true" turns them on.
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // zanrok.startup: start-up steps and their fetches
Q_DECLARE_LOGGING_CATEGORY(lcNet)     // zanrok.net: each request, its outcome and time
Q_DECLARE_LOGGING_CATEGORY(lcLoader)  // zanrok.loader: the loader run
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)  // zanrok.update: the launcher updating itself
Q_DECLARE_LOGGING_CATEGORY(lcTransfer) // zanrok.transfer: the pipeline's connections to the file host
