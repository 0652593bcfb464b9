#include "rolloutcohort.h"

#include "workdirectory.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QRegularExpression>
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

QString installationIdFile(const QString &programRoot)
{
    return WorkDirectory::ofProgramRoot(programRoot).installationIdFile();
}

QString installationId(const QString &programRoot, QString *error)
{
    const QString path = installationIdFile(programRoot);
    // Read only when it is a regular file: never through a link, never waiting on a pipe.
    if (const std::optional<QByteArray> text = WorkDirectory::readRecord(path, 64)) {
        if (isIdText(text->trimmed()))
            return QString::fromLatin1(text->trimmed());
        // A damaged file is replaced: the installation draws a new place, nothing worse.
    }
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray id = QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
    // Durably, and never through a link at its name: a lost id would move the installation to
    // another place in every rollout.
    if (const WorkDirectoryError failed = WorkDirectory::writeRecordAt(path, id + '\n');
        !failed.ok()) {
        if (error)
            *error = QStringLiteral("cannot keep the installation id: %1").arg(failed.describe());
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
