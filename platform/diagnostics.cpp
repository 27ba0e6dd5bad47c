#include "platform/diagnostics.h"

Q_LOGGING_CATEGORY(lcStartup, "zanrok.startup", QtWarningMsg)
Q_LOGGING_CATEGORY(lcNet, "zanrok.net", QtWarningMsg)
Q_LOGGING_CATEGORY(lcLoader, "zanrok.loader", QtWarningMsg)
Q_LOGGING_CATEGORY(lcUpdate, "zanrok.update", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTransfer, "zanrok.transfer", QtWarningMsg)
