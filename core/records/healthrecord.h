// The health file: "health.json" in the work directory of the program root. The new version,
// started with the probe option, writes its token and its version there; the updater's probe
// reads it as the confirmation of that start, and the client's start-up reads it to tell why an
// update was rolled back. This file is its only reader and writer.
#pragma once

#include "coreerror.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace vellumix {

class HealthRecord
{
public:
    HealthRecord() = default;
    // A confirmation holds both as text. The version is taken as any JSON value so that what a
    // program writes in its place (a number, say) stays what it is: it confirms nothing, and is
    // told apart from the same digits as text.
    HealthRecord(const QString &token, const QJsonValue &version);

    // The record that `contents` hold; an empty record when they are no JSON object.
    static HealthRecord fromJson(const QByteArray &contents);
    // The compact JSON text that is written to the file.
    QByteArray toJson() const;

    // The token, empty when the file names none as text.
    QString token() const;
    // The version as it reads to a person, also when it was not written as text.
    QString versionText() const;
    // Whether the version is exactly the text `version`.
    bool hasVersion(const QString &version) const;
    // Whether the record confirms the start of the version `version` with `token`.
    bool confirms(const QString &token, const QString &version) const;

private:
    QJsonObject m_record;
};

// Whether the health file's content confirms the start of the version `version` with `token`.
bool healthConfirmed(const QByteArray &contents, const QString &token, const QString &version);

// The updater's reading: whether the health file in `workDirectory` confirms the start. The file
// is the application's, not the updater's, so it is checked as it is read: a link on its path is
// refused (LinkOnPath, as every link in the work directory), and only a regular file of a sane
// size can confirm.
CoreResult<bool> healthFileConfirms(const QString &workDirectory, const QString &token,
                                    const QString &version);

// The client's reading: the record in `workDirectory`, read only when it is a regular file (never
// through a link at its name, never waiting on a pipe); an empty record otherwise.
HealthRecord readHealthRecord(const QString &workDirectory);

// Writes `record` into `workDirectory` whole or not at all, so that the updater never reads half
// of it. Refused when the work directory is reached through a link; the error says so, or why the
// file cannot be written.
CoreError writeHealthRecord(const QString &workDirectory, const HealthRecord &record);

} // namespace vellumix
