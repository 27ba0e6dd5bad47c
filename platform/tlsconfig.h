#pragma once

#include <QByteArray>

// Adds the PEM certificates to the process-wide default TLS configuration,
// keeping the system's own CAs. Returns how many certificates were added.
int addTrustedCaCertificates(const QByteArray &pem);

// Trusts the CA certificates built into this launcher (ZANROK_EXTRA_CA).
int installBuiltInCaCertificates();
