#include "installedrecord.h"

#include "fileio.h"
#include "manifest.h"
#include "updateprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vellumix {

namespace {

// The record holds two members; anything larger is not one.
constexpr qint64 kInstalledRecordMaxBytes = 64 * 1024;

QString installedRecordPath(const QString &workDirectory)
{
    return workDirectory + u'/' + protocol::kInstalledFileName;
}

} // namespace

void writeInstalledRecord(const QString &workDirectory, const InstalledRecord &record)
{
    const QJsonObject object{{protocol::kInstalledSequenceMember, record.sequence},
                             {protocol::kInstalledVersionMember, record.version}};
    writeFileAtomic(installedRecordPath(workDirectory),
                    QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<InstalledRecord> readInstalledRecord(const QString &workDirectory)
{
    const std::optional<QByteArray> bytes =
        readRegularFileOnly(installedRecordPath(workDirectory), kInstalledRecordMaxBytes);
    const QJsonObject object = bytes ? QJsonDocument::fromJson(*bytes).object() : QJsonObject();
    const QJsonValue sequence = object.value(protocol::kInstalledSequenceMember);
    const int value = sequence.toInt(-1);
    if (!sequence.isDouble() || value < kManifestMinSequence || value > kManifestMaxSequence)
        return std::nullopt;
    return InstalledRecord{value, object.value(protocol::kInstalledVersionMember).toString()};
}

} // namespace vellumix
