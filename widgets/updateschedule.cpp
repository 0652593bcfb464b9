#include "updateschedule.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace vellumix {

namespace {
constexpr qint64 kMaxRecordBytes = 64 * 1024;
// A clock set back by less than this is not taken for a future check.
constexpr qint64 kClockSlackMs = 60 * 1000;
} // namespace

QString scheduleRecordPath(const QString &programRoot)
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    const QString root = QDir::cleanPath(QFileInfo(programRoot).absoluteFilePath());
    const QByteArray hash =
        QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return base + QStringLiteral("/vellumix-update/interface/") + QString::fromLatin1(hash)
        + QStringLiteral(".json");
}

ScheduleRecord readScheduleRecord(const QString &path)
{
    ScheduleRecord record;
    QFile file(path);
    if (!QFileInfo(path).isFile() || file.size() > kMaxRecordBytes || !file.open(QIODevice::ReadOnly))
        return record;
    const QJsonObject object = QJsonDocument::fromJson(file.read(kMaxRecordBytes)).object();
    record.lastCheck = QDateTime::fromString(object.value(QLatin1String("lastCheck")).toString(),
                                             Qt::ISODate);
    if (record.lastCheck.isValid())
        record.lastCheck = record.lastCheck.toUTC();
    const QJsonObject skipped = object.value(QLatin1String("skipped")).toObject();
    const qint64 sequence = skipped.value(QLatin1String("sequence")).toInteger();
    if (sequence > 0 && sequence <= 0x7fffffff) {
        record.skippedChannel = skipped.value(QLatin1String("channel")).toString();
        record.skippedSequence = qint32(sequence);
        record.skippedVersion = skipped.value(QLatin1String("version")).toString();
    }
    return record;
}

bool writeScheduleRecord(const QString &path, const ScheduleRecord &record)
{
    QJsonObject object;
    if (record.lastCheck.isValid())
        object.insert(QLatin1String("lastCheck"), record.lastCheck.toUTC().toString(Qt::ISODate));
    if (record.skippedSequence > 0) {
        object.insert(QLatin1String("skipped"),
                      QJsonObject{{QLatin1String("channel"), record.skippedChannel},
                                  {QLatin1String("sequence"), record.skippedSequence},
                                  {QLatin1String("version"), record.skippedVersion}});
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return file.commit();
}

qint64 msUntilNextCheck(const QDateTime &lastCheck, const QDateTime &now, qint64 intervalMs,
                        double jitter, qint64 firstWithinMs, double draw)
{
    const qint64 interval = std::max<qint64>(
        1000, intervalMs + qint64(double(intervalMs) / 10.0 * std::clamp(jitter, -1.0, 1.0)));
    const qint64 sinceLast = lastCheck.isValid() ? lastCheck.msecsTo(now) : -1;
    if (!lastCheck.isValid() || sinceLast >= interval || sinceLast < -kClockSlackMs) {
        const qint64 within = std::max<qint64>(1000, firstWithinMs);
        return 1000 + qint64(double(within - 1000) * std::clamp(draw, 0.0, 1.0));
    }
    return interval - std::max<qint64>(0, sinceLast);
}

} // namespace vellumix
