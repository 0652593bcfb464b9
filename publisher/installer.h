// Building the Windows Setup program of a release: a per-user installer made with NSIS
// (makensis) from a verified stage, which puts the program root into
// %LOCALAPPDATA%\Programs\<name> with the release's installed record, and an uninstaller beside
// it. The script is installer/setup.nsi; the values it takes from the command line and the stage
// are checked here and written into an include of their own.
#pragma once

#include "manifest.h"

#include <QString>

#include <optional>

namespace vellumix::publish {

// The program's default name: the Setup program's title, the folder, the shortcut and the entry
// in the list of programs.
inline const QString kDefaultInstallerName = QStringLiteral("Vellumix");

struct InstallerOptions
{
    QString stageDir;  // a stage that "stage" made with every file under files/
    QString outFile;   // the Setup program to write; must not exist
    QString name = kDefaultInstallerName;
    QString publisher; // empty: the name
    QString iconFile;  // a Windows icon (.ico); empty: NSIS's own
    std::optional<UpdateSigningKey> key; // checks the stage against it instead of the compiled-in key
    QString makensis;  // the makensis program; empty: looked for on the PATH
};

struct InstallerSummary
{
    QString version;
    qint32 sequence = 0;
    int files = 0;
    qint64 bytes = 0;      // the release's files
    qint64 setupBytes = 0; // the Setup program
    QString name;
    QString publisher;
};

// Why `name` cannot name the program (its folder, shortcut and uninstall entry); empty when it
// can: 1 to 64 letters, digits, spaces and ". - _ + ( )", no space or dot at either end, not a
// name Windows reserves for a device.
QString installerNameProblem(const QString &name);
// Why `publisher` cannot be the publisher's text; empty when it can: 1 to 100 characters, no
// control characters, no "$" or "`" (the installer script's own syntax), no space at either end.
QString publisherProblem(const QString &publisher);
// Why the file at `path` cannot be the Setup program's icon; empty when it can.
QString iconProblem(const QString &path);

// The include that hands the checked values to the script (setup-values.nsh).
QByteArray installerValues(const InstallerOptions &options, const UpdateManifest &manifest,
                           qint64 releaseBytes, bool withIcon);

// Verifies the stage as "verify" does, copies its files (each checked again on the way) with the
// installed record into a temporary folder, runs makensis there and puts the Setup program at
// options.outFile. Throws the tool's text on refusal or failure; nothing is left at outFile then.
InstallerSummary buildInstaller(const InstallerOptions &options);

} // namespace vellumix::publish
