#pragma once

#include <QString>

// The security identifier of the account this process runs as, in its text
// form ("S-1-5-21-…"). Empty where there is none (elsewhere than Windows) or
// it cannot be read.
QString currentUserSid();

#ifdef Q_OS_WIN
// The text form of a SID (a PSID); empty if it cannot be converted.
QString sidText(void *sid);
#endif
