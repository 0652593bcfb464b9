#include "rolloutcohort.h"

#include "fileio.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>

namespace vellumix {

namespace {

bool isIdText(const QByteArray &text)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9a-f]{32}\\z"));
    return pattern.match(QString::fromLatin1(text)).hasMatch();
}

QByteArray sha256(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256);
}

} // namespace

/*
    The id is the user's, not the program root's: the program folder may be shared by every user of
    the computer and need not be writable, and one person's choice to turn reports on must not make
    another's installation traceable. It lives in the user's data folder (not the cache, which may
    be emptied: a new id would move the installation to another place in every rollout), one file
    per program root, named by a hash of the root's absolute path.
*/
QString installationIdFile(const QString &programRoot)
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    const QString root = QDir::cleanPath(QFileInfo(programRoot).absoluteFilePath());
    return base + QStringLiteral("/vellumix-update/installations/")
        + QString::fromLatin1(sha256(root).toHex().left(32));
}

QString installationId(const QString &programRoot, QString *error)
{
    const QString path = installationIdFile(programRoot);
    // Read only when it is a regular file: never through a link, never waiting on a pipe.
    if (const std::optional<QByteArray> text = readRegularFileOnly(path, 64)) {
        if (isIdText(text->trimmed()))
            return QString::fromLatin1(text->trimmed());
        // A damaged file is replaced: the installation draws a new place, nothing worse.
    }
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray id = QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
    QSaveFile out(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !out.open(QIODevice::WriteOnly)
        || out.write(id + '\n') != id.size() + 1 || !out.commit()) {
        if (error)
            *error = QStringLiteral("cannot keep the installation id in %1: %2")
                         .arg(path, out.errorString());
        return {};
    }
    return QString::fromLatin1(id);
}

double rolloutPosition(const QString &installationId, const QString &feed, const QString &channel,
                       qint32 sequence)
{
    const QByteArray digest = sha256(installationId + u'\n' + feed + u'\n' + channel + u'\n'
                                     + QString::number(sequence));
    // The first 64 bits as a fraction of 2^64: uniform for a uniform hash.
    const quint64 value = qFromBigEndian<quint64>(digest.constData());
    return double(value >> 11) / double(quint64(1) << 53) * 100.0;
}

QString reportedInstallation(const QString &installationId)
{
    return QString::fromLatin1(
        sha256(QStringLiteral("vellumix-report\n") + installationId).toHex().left(32));
}

} // namespace vellumix
