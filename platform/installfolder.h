#pragma once

#include <QString>

// Where RageMP is installed when the settings store names no usable copy:
// "C:/Games/Zanrok" on Windows, $HOME/Games/Zanrok elsewhere.
QString defaultInstallParent();
QString defaultInstallFolder();

// Gives the owner the right to run `path` where the file system keeps such a
// right (a no-op on Windows). Returns false if the permissions could not be set.
bool makeExecutable(const QString &path);
