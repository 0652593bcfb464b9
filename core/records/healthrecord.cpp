#include "healthrecord.h"

#include "fileio.h"
#include "linkguard.h"
#include "workdirectory.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace vellumix {

namespace {

// A health file is a few dozen bytes; anything beyond this is not a confirmation.
constexpr qint64 kHealthFileMaxBytes = 65536;

const QString kTokenMember = QStringLiteral("token");
const QString kVersionMember = QStringLiteral("version");

QString healthFilePath(const QString &workDirectory)
{
    return WorkDirectory::at(workDirectory).healthFile();
}

} // namespace

HealthRecord::HealthRecord(const QString &token, const QJsonValue &version)
    : m_record{{kTokenMember, token}, {kVersionMember, version}}
{
}

HealthRecord HealthRecord::fromJson(const QByteArray &contents)
{
    HealthRecord record;
    record.m_record = QJsonDocument::fromJson(contents).object();
    return record;
}

QByteArray HealthRecord::toJson() const
{
    return QJsonDocument(m_record).toJson(QJsonDocument::Compact);
}

QString HealthRecord::token() const
{
    return m_record.value(kTokenMember).toString();
}

QString HealthRecord::versionText() const
{
    return m_record.value(kVersionMember).toVariant().toString();
}

bool HealthRecord::hasVersion(const QString &version) const
{
    return m_record.value(kVersionMember) == QJsonValue(version);
}

bool HealthRecord::confirms(const QString &token, const QString &version) const
{
    return m_record.value(kTokenMember) == QJsonValue(token) && hasVersion(version);
}

bool healthConfirmed(const QByteArray &contents, const QString &token, const QString &version)
{
    return HealthRecord::fromJson(contents).confirms(token, version);
}

/*
    The health file is written by the application, not by the updater, so it is checked as it is
    read: the file itself must not be a link (the work directory and its ancestors are checked
    with it), and it must be an ordinary file of a sane size. A pipe or device planted under its
    name would otherwise block the read or fill the memory; neither is a confirmation.
*/
CoreResult<bool> healthFileConfirms(const QString &workDirectory, const QString &token,
                                    const QString &version)
{
    const QString healthFile = healthFilePath(workDirectory);
    if (CoreError linked = ensureNoLinksOnPath(healthFile); !linked.ok())
        return linked;
    const QFileInfo info(healthFile);
    if (!info.isFile() || info.size() > kHealthFileMaxBytes)
        return false;
    QFile file(healthFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.read(kHealthFileMaxBytes + 1);
    file.close();
    return contents.size() <= kHealthFileMaxBytes && healthConfirmed(contents, token, version);
}

HealthRecord readHealthRecord(const QString &workDirectory)
{
    const std::optional<QByteArray> bytes =
        readRegularFileOnly(healthFilePath(workDirectory), kHealthFileMaxBytes);
    return bytes ? HealthRecord::fromJson(*bytes) : HealthRecord();
}

CoreError writeHealthRecord(const QString &workDirectory, const HealthRecord &record)
{
    if (CoreError linked = ensureNoLinksOnPath(workDirectory); !linked.ok())
        return linked;
    return writeFileAtomic(healthFilePath(workDirectory), record.toJson());
}

} // namespace vellumix
