#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QString>

// The folders and files one run of a program makes beside what it writes (a
// work folder, an archive being built, a workbook waiting for its name), named
// so that a later run can tell whose they were and whether that run is over,
// and removed through the folders they are in.
namespace runs {

// A new private folder (0700 whatever the umask) for one run inside `parent`,
// named "<prefix>-<host>-<pid>-XXXXXX" so that a later run can tell whose it
// was and whether that run is over. It is held open with `parent`: what the
// run made is removed through the two, even once someone has moved them, never
// through a path that no longer leads there. Errors: 76 when `parent` does not
// exist, 70 when it cannot be written, 75 otherwise.
class RunFolder {
public:
    RunFolder() = default;
    RunFolder(const QString& parent, const QString& prefix);
    // Remove().
    ~RunFolder();
    RunFolder(RunFolder&& other) noexcept = default;
    RunFolder& operator=(RunFolder&& other) noexcept;

    // Where it is (where it was made).
    const QString& path() const { return m_self.path(); }
    // Removes every file directly in it (links themselves, never what they
    // lead to), then the folder. Subfolders, which no run makes, are left, and
    // so is the folder then. Never throws.
    void Remove();

private:
    platform::Folder m_parent;
    platform::Folder m_self;
    QString m_name;
};

// The start of a name that tells which run made it: "<prefix>-<host>-<pid>-";
// six random letters complete it (RunFolder, platform::Folder::CreateTemporary).
QByteArray RunStem(const QString& prefix);

// Removes what runs that ended without cleaning up (a crash, a power cut) left
// in `parent`: folders and files named RunStem(prefix) and six letters, owned
// by this user, made on this machine by a process that no longer runs.
// Nothing else is touched. Returns false if `parent` holds nothing else
// afterwards, true if it does or cannot be listed. Never throws.
bool RemoveLeftovers(const QString& parent, const QString& prefix);

// Removes a folder that a run left (as RunFolder::Remove does). Never throws.
void RemoveRunFolder(const QString& path);

}  // namespace runs
