#include "platform/installfolder.h"

#include "platform/diagnostics.h"
#include "platform/useraccount.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

// The rights that let an account change what a folder holds: add a file or
// a folder (the same bits as writing a file's data), delete one, change the
// access list or the owner, and the generic rights that include them.
constexpr quint32 fileAddFile = 0x2;
constexpr quint32 fileAddSubdirectory = 0x4;
constexpr quint32 fileDeleteChild = 0x40;
constexpr quint32 deleteAccess = 0x10000;
constexpr quint32 writeDac = 0x40000;
constexpr quint32 writeOwner = 0x80000;
constexpr quint32 genericAll = 0x10000000;
constexpr quint32 genericWrite = 0x40000000;
constexpr quint32 writeAccess = fileAddFile | fileAddSubdirectory | fileDeleteChild | deleteAccess
        | writeDac | writeOwner | genericAll | genericWrite;

#ifdef Q_OS_WIN
const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// Creates the folder with the game folder's access; on failure
// GetLastError() says why.
bool createGameFolder(const QString &native)
{
    const QString sid = currentUserSid();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sid.isEmpty()
        || !ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(gameFolderSddl(sid)), SDDL_REVISION_1,
                                                                 &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        qCWarning(lcLoader) << "no access list of our own for" << native << "( error" << error
                            << "): it takes the one of the folder above";
        return CreateDirectoryW(wide(native), nullptr);
    }
    SECURITY_ATTRIBUTES attributes { sizeof attributes, descriptor, FALSE };
    const bool created = CreateDirectoryW(wide(native), &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return created;
}

void warnIfOthersWrite(const QString &native)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(wide(native), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        qCWarning(lcLoader) << "could not read the access list of" << native << "( error" << error << ")";
        return;
    }
    QList<FolderAccess> allowed;
    if (owner)
        allowed.append({ sidText(owner), writeDac });
    if (!dacl) // no list at all: everyone may do anything
        allowed.append({ QStringLiteral("S-1-1-0"), genericAll });
    for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
        void *ace = nullptr;
        if (GetAce(dacl, index, &ace) && static_cast<ACE_HEADER *>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto *entry = static_cast<ACCESS_ALLOWED_ACE *>(ace);
            allowed.append({ sidText(const_cast<DWORD *>(&entry->SidStart)), entry->Mask });
        }
    }
    LocalFree(descriptor);
    const QStringList writers = otherWriters(allowed, currentUserSid());
    if (!writers.isEmpty())
        qCWarning(lcLoader).noquote() << "the game folder" << native
                                      << "was there before, and other accounts can change what it holds:"
                                      << writers.join(QStringLiteral(", "));
}
#endif

} // namespace

QString defaultInstallParent()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:/Games");
#else
    return QDir::homePath() + QStringLiteral("/Games");
#endif
}

QString defaultInstallFolder()
{
    return defaultInstallParent() + QStringLiteral("/Zanrok");
}

void makeDefaultInstallFolder()
{
    for (const QString &path : { defaultInstallParent(), defaultInstallFolder() }) {
#ifdef Q_OS_WIN
        const QString native = QDir::toNativeSeparators(path);
        if (createGameFolder(native)) {
            qCInfo(lcLoader) << "made" << native << "for the user, SYSTEM and Administrators to change";
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            qCWarning(lcLoader) << "could not make" << native << "( error" << error << ")";
        else if (path == defaultInstallFolder())
            warnIfOthersWrite(native);
#else
        if (!QFileInfo::exists(path))
            QDir().mkdir(path);
#endif
    }
}

QString gameFolderSddl(const QString &userSid)
{
    // P: protected, nothing inherited from above; OICI: inherited by files
    // and folders inside; FA: full control; 0x1200a9: read and execute.
    return QStringLiteral("D:P(A;OICI;FA;;;%1)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)")
            .arg(userSid);
}

QStringList otherWriters(const QList<FolderAccess> &allowed, const QString &userSid)
{
    QStringList trusted {
        QStringLiteral("S-1-5-18"), // SYSTEM
        QStringLiteral("S-1-5-32-544"), // Administrators
        QStringLiteral("S-1-3-0"), // CREATOR OWNER: whoever made the file inside
        QStringLiteral("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"), // TrustedInstaller
    };
    if (!userSid.isEmpty())
        trusted.append(userSid);
    QStringList writers;
    for (const FolderAccess &entry : allowed) {
        if ((entry.mask & writeAccess) && !trusted.contains(entry.sid) && !writers.contains(entry.sid))
            writers.append(entry.sid);
    }
    return writers;
}

bool makeExecutable(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return true;
#else
    const QFile::Permissions current = QFile::permissions(path);
    return QFile::setPermissions(path, current | QFile::ExeOwner | QFile::ExeUser);
#endif
}
