#include "installedrecord.h"

#include "fileio.h"
#include "manifest.h"
#include "workdirectory.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vellumix {

namespace {

// The record holds two members; anything larger is not one.
constexpr qint64 kInstalledRecordMaxBytes = 64 * 1024;

const QString kSequenceMember = QStringLiteral("sequence");
const QString kVersionMember = QStringLiteral("version");

QString installedRecordPath(const QString &workDirectory)
{
    return WorkDirectory::at(workDirectory).installedFile();
}

} // namespace

CoreError writeInstalledRecord(const QString &workDirectory, const InstalledRecord &record)
{
    const QJsonObject object{{kSequenceMember, record.sequence},
                             {kVersionMember, record.version}};
    return writeFileAtomic(installedRecordPath(workDirectory),
                    QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<InstalledRecord> readInstalledRecord(const QString &workDirectory)
{
    const std::optional<QByteArray> bytes =
        WorkDirectory::readRecord(installedRecordPath(workDirectory), kInstalledRecordMaxBytes);
    const QJsonObject object = bytes ? QJsonDocument::fromJson(*bytes).object() : QJsonObject();
    const QJsonValue sequence = object.value(kSequenceMember);
    const int value = sequence.toInt(-1);
    if (!sequence.isDouble() || value < kManifestMinSequence || value > kManifestMaxSequence)
        return std::nullopt;
    return InstalledRecord{value, object.value(kVersionMember).toString()};
}

} // namespace vellumix
