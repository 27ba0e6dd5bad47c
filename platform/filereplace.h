#pragma once

#include <QString>

// Puts the file at `from` in place of `to` in one step, replacing what is
// there. On Windows both paths take the "\\?\" form, so targets past the
// old 260-character limit work, and a target held open for a moment by
// another program (a virus scanner looking at a new .exe, a game still
// holding a .dll) is tried again for about two seconds.
bool replaceFile(const QString &from, const QString &to);

// The "\\?\" form of an absolute Windows path in native separators
// ("\\?\UNC\…" for a share).
QString windowsLongPath(const QString &native);
