#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Where RageMP is installed when the settings store names no usable copy:
// "C:/Games/Zanrok" on Windows, $HOME/Games/Zanrok elsewhere.
QString defaultInstallParent();
QString defaultInstallFolder();

// Creates defaultInstallParent() and defaultInstallFolder() where they are
// missing. On Windows a folder created here gets gameFolderSddl()'s access,
// so that no other account on the machine can change or add what Play
// starts; a folder that exists keeps its own, and the diagnostics
// (zanrok.loader) warn when other accounts can write in the game folder.
void makeDefaultInstallFolder();

// The access of a game folder that the launcher creates on Windows, as SDDL:
// full control for the user whose SID is `userSid`, SYSTEM and
// Administrators, read and execute for Users; inherited by everything
// inside, and nothing inherited from above (a folder under C:\ would let
// every signed-in account change its files).
QString gameFolderSddl(const QString &userSid);

// One allowed entry of a folder's access list: whom (a SID's text form) and
// what (the Windows access mask). The folder's owner, who can always change
// the list, counts as allowed to do so.
struct FolderAccess
{
    QString sid;
    quint32 mask;
};

// The accounts and groups among `allowed` that may write, add, delete or
// change permissions in the folder, other than the user (`userSid`), SYSTEM,
// Administrators, TrustedInstaller and the creator of each file inside.
QStringList otherWriters(const QList<FolderAccess> &allowed, const QString &userSid);

// Gives the owner the right to run `path` where the file system keeps such a
// right (a no-op on Windows). Returns false if the permissions could not be set.
bool makeExecutable(const QString &path);
