#include "installer.h"
#include "numbertext.h"
#include "publishtexts.h"
#include "verify.h"

#include "installedrecord.h"
#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace vellumix::publish {

namespace {

constexpr qsizetype kMaxNameLength = 64;
constexpr qsizetype kMaxPublisherLength = 100;
constexpr qint64 kMaxIconBytes = 1024 * 1024;
constexpr qsizetype kCopyChunk = 1024 * 1024;
// How much of makensis's output a failure shows: its last lines say what went wrong.
constexpr qsizetype kMakensisOutputShown = 20;

// What Setup puts beside the release's files.
const QString kUninstaller = QStringLiteral("uninstall.exe");

const QString kScriptResource = QStringLiteral(":/vellumix/installer/setup.nsi");

bool isDeviceName(const QString &name)
{
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return device.match(name.section(u'.', 0, 0).trimmed()).hasMatch();
}

// The first component of a manifest path, for the comparisons Windows makes (case-insensitive).
QString topLevelOf(const QString &path)
{
    return path.section(u'/', 0, 0).toCaseFolded();
}

// Copies the staged file to `target`, checking size and digest against the manifest on the way:
// what goes into the Setup program is exactly what was verified.
void copyChecked(const QString &source, const QString &target, const ManifestFile &entry)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw Texts::tr("files/%1: cannot be read: %2").arg(entry.path, in.errorString());
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        throw Texts::tr("cannot create a folder for %1").arg(target);
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw Texts::tr("cannot write %1: %2").arg(target, out.errorString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(kCopyChunk, Qt::Uninitialized);
    qint64 size = 0;
    for (qint64 count; (count = in.read(buffer.data(), buffer.size())) > 0;) {
        hash.addData(QByteArrayView(buffer.constData(), count));
        if (out.write(buffer.constData(), count) != count)
            throw Texts::tr("cannot write %1: %2").arg(target, out.errorString());
        size += count;
    }
    if (size != entry.size || hash.result().toHex() != entry.sha256)
        throw Texts::tr("files/%1 changed while the Setup program was being made").arg(entry.path);
}

QString makensisProgram(const QString &given)
{
    if (!given.isEmpty())
        return given;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("makensis"));
    if (found.isEmpty())
        throw Texts::tr("makensis is not installed; it builds the Setup program (Debian: "
                        "apt-get install nsis)");
    return found;
}

// The last lines of what makensis said.
QString tailOf(const QByteArray &output)
{
    QStringList lines = QString::fromUtf8(output).split(u'\n', Qt::SkipEmptyParts);
    if (lines.size() > kMakensisOutputShown)
        lines = lines.mid(lines.size() - kMakensisOutputShown);
    return lines.join(u'\n');
}

// A value of the script, quoted: the checks above leave no character that the script reads
// as its own syntax inside backquotes.
QByteArray quoted(const QString &value)
{
    return '`' + value.toUtf8() + '`';
}

} // namespace

QString installerNameProblem(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return Texts::tr("the name must have 1 to %1 characters").arg(kMaxNameLength);
    for (const QChar c : name) {
        if (!c.isLetterOrNumber() && !QStringLiteral(" .-_+()").contains(c))
            return Texts::tr("the name \"%1\" holds \"%2\"; it may hold letters, digits, spaces "
                             "and . - _ + ( ) only")
                .arg(name, QString(c));
    }
    if (name.front() == u' ' || name.back() == u' ' || name.front() == u'.' || name.back() == u'.')
        return Texts::tr("the name \"%1\" begins or ends with a space or a dot").arg(name);
    if (isDeviceName(name))
        return Texts::tr("the name \"%1\" is reserved by Windows for a device").arg(name);
    return QString();
}

QString publisherProblem(const QString &publisher)
{
    if (publisher.isEmpty() || publisher.size() > kMaxPublisherLength)
        return Texts::tr("the publisher must have 1 to %1 characters").arg(kMaxPublisherLength);
    for (const QChar c : publisher) {
        if (c == u'$' || c == u'`')
            return Texts::tr("the publisher may not hold \"%1\"").arg(QString(c));
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            return Texts::tr("the publisher may not hold control characters");
    }
    if (publisher.front().isSpace() || publisher.back().isSpace())
        return Texts::tr("the publisher begins or ends with a space");
    return QString();
}

QString iconProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isSymLink() || !info.isFile())
        return Texts::tr("the icon %1 is not a file").arg(path);
    if (info.size() > kMaxIconBytes)
        return Texts::tr("the icon %1 is larger than %2 bytes").arg(path, grouped(kMaxIconBytes));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Texts::tr("the icon %1 cannot be read: %2").arg(path, file.errorString());
    // ICONDIR: reserved 0, type 1 (an icon), at least one image.
    const QByteArray head = file.read(6);
    if (head.size() < 6 || head.at(0) != 0 || head.at(1) != 0 || head.at(2) != 1 || head.at(3) != 0
        || (head.at(4) == 0 && head.at(5) == 0))
        return Texts::tr("%1 is not a Windows icon (.ico)").arg(path);
    return QString();
}

QByteArray installerValues(const InstallerOptions &options, const UpdateManifest &manifest,
                           qint64 releaseBytes, bool withIcon)
{
    const QString publisher = options.publisher.isEmpty() ? options.name : options.publisher;
    // The size that the list of programs shows, in KiB; the field holds 32 bits.
    const qint64 kib = std::min<qint64>((releaseBytes + 1023) / 1024, 0xffffffffLL);
    QByteArray values = "; Written by vellumix-publish installer: the values of this Setup program.\n";
    values += "!define VX_NAME " + quoted(options.name) + '\n';
    values += "!define VX_PUBLISHER " + quoted(publisher) + '\n';
    values += "!define VX_VERSION " + quoted(manifest.version) + '\n';
    values += "!define VX_SEQUENCE " + QByteArray::number(manifest.sequence) + '\n';
    values += "!define VX_SIZE_KB " + QByteArray::number(kib) + '\n';
    values += "!define VX_OUT `built.exe`\n";
    if (withIcon)
        values += "!define VX_ICON `setup.ico`\n";
    return values;
}

InstallerSummary buildInstaller(const InstallerOptions &options)
{
    for (const QString &problem : {installerNameProblem(options.name),
                                   options.publisher.isEmpty() ? QString()
                                                               : publisherProblem(options.publisher),
                                   options.iconFile.isEmpty() ? QString()
                                                              : iconProblem(options.iconFile)}) {
        if (!problem.isEmpty())
            throw problem;
    }
    const QFileInfo out(options.outFile);
    if (out.exists() || out.isSymLink())
        throw Texts::tr("%1 already exists; it is never overwritten").arg(options.outFile);
    if (!out.absoluteDir().exists())
        throw Texts::tr("the folder of %1 does not exist").arg(options.outFile);
    const QString makensis = makensisProgram(options.makensis);

    // The stage as the updater and "verify" see it; a Setup program needs the whole release.
    const StageReport report = verifyStage(options.stageDir, options.key);
    if (!report.problems.isEmpty())
        throw Texts::tr("the stage does not verify: %1").arg(report.problems.join(QStringLiteral("; ")));
    const UpdateManifest &manifest = report.manifest;
    if (report.filesStaged != manifest.files.size())
        throw Texts::tr("the stage holds %1 of the release's %2 files under files/ (staged with "
                        "--installed?); a Setup program needs every file: stage the release "
                        "without --installed")
            .arg(grouped(report.filesStaged), grouped(manifest.files.size()));
    // The manifest holds the main program (Vellumix.exe, which the shortcut starts) by its rules.
    for (const ManifestFile &entry : manifest.files) {
        if (topLevelOf(entry.path) == protocol::kWorkDirectoryName.toCaseFolded()
            || entry.path.toCaseFolded() == kUninstaller.toCaseFolded())
            throw Texts::tr("the release holds %1, which Setup writes itself").arg(entry.path);
    }

    QTemporaryDir work(QDir::temp().filePath(QStringLiteral("vellumix-setup-XXXXXX")));
    if (!work.isValid())
        throw Texts::tr("cannot create a temporary folder: %1").arg(work.errorString());
    const QString filesDir = options.stageDir + u'/' + protocol::kStageFilesFolder;
    for (const ManifestFile &entry : manifest.files)
        copyChecked(filesDir + u'/' + entry.path, work.filePath(QStringLiteral("files/") + entry.path),
                    entry);
    // The installed record, written by the very code the updater writes it with.
    const QString recordDir = work.filePath(QStringLiteral("record"));
    QDir().mkpath(recordDir);
    orRefuse(writeInstalledRecord(recordDir, InstalledRecord{manifest.sequence, manifest.version}));

    const bool withIcon = !options.iconFile.isEmpty();
    if (withIcon && !QFile::copy(options.iconFile, work.filePath(QStringLiteral("setup.ico"))))
        throw Texts::tr("cannot copy the icon %1").arg(options.iconFile);
    QFile script(kScriptResource);
    QFile values(work.filePath(QStringLiteral("setup-values.nsh")));
    QFile scriptCopy(work.filePath(QStringLiteral("setup.nsi")));
    if (!script.open(QIODevice::ReadOnly) || !values.open(QIODevice::WriteOnly)
        || !scriptCopy.open(QIODevice::WriteOnly)
        || scriptCopy.write(script.readAll()) < 0
        || values.write(installerValues(options, manifest, report.totalSize, withIcon)) < 0)
        throw Texts::tr("cannot write the installer script into %1").arg(work.path());
    scriptCopy.close();
    values.close();

    QProcess process;
    process.setWorkingDirectory(work.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(makensis, {QStringLiteral("-V2"), QStringLiteral("-INPUTCHARSET"),
                             QStringLiteral("UTF8"), QStringLiteral("setup.nsi")});
    if (!process.waitForStarted())
        throw Texts::tr("cannot start %1: %2").arg(makensis, process.errorString());
    process.waitForFinished(-1);
    const QByteArray said = process.readAll();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw Texts::tr("makensis failed (exit code %1):\n%2")
            .arg(process.exitCode())
            .arg(tailOf(said));

    // Into place under a name of its own first, so that the Setup program appears whole or not
    // at all.
    const QString built = work.filePath(QStringLiteral("built.exe"));
    const QString partial = out.absoluteDir().filePath(u'.' + out.fileName() + QStringLiteral(".partial"));
    QFile::remove(partial);
    if (!QFile::copy(built, partial))
        throw Texts::tr("cannot write %1").arg(partial);
    if (!QFile::rename(partial, out.absoluteFilePath())) {
        QFile::remove(partial);
        throw Texts::tr("cannot write %1 (does it exist now?)").arg(options.outFile);
    }

    InstallerSummary summary;
    summary.version = manifest.version;
    summary.sequence = manifest.sequence;
    summary.files = int(manifest.files.size());
    summary.bytes = report.totalSize;
    summary.setupBytes = QFileInfo(out.absoluteFilePath()).size();
    summary.name = options.name;
    summary.publisher = options.publisher.isEmpty() ? options.name : options.publisher;
    return summary;
}

} // namespace vellumix::publish
