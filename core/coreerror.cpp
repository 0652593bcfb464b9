#include "coreerror.h"
#include "messages.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace vellumix {

namespace {

struct Wording
{
    const QString *updater; // the updater's text (messages.h)
    const char *english;    // its meaning for the tools
};

// One row a code, in the order of CoreError::Code.
const Wording kWordings[] = {
    {nullptr, nullptr}, // None
    {&Msg::manifestTooLarge, QT_TRANSLATE_NOOP("vellumix", "the update manifest is too large")},
    {&Msg::signatureRejected, QT_TRANSLATE_NOOP("vellumix", "the update's signature does not verify")},
    {&Msg::unsupportedUpdate, QT_TRANSLATE_NOOP("vellumix", "the update's format version is not supported")},
    {&Msg::fileListInvalid, QT_TRANSLATE_NOOP("vellumix", "the update's file list is invalid")},
    {&Msg::illegalOrDuplicatePath, QT_TRANSLATE_NOOP("vellumix", "the manifest holds an illegal or duplicate path")},
    {&Msg::fileChecksInvalid, QT_TRANSLATE_NOOP("vellumix", "the digest or size of an update file is invalid")},
    {&Msg::totalSizeExceeded, QT_TRANSLATE_NOOP("vellumix", "the update's total size exceeds the limit")},
    {&Msg::requiredProgramsMissing, QT_TRANSLATE_NOOP("vellumix", "the update manifest lacks a required program")},
    {&Msg::unsafeUpdatePath, QT_TRANSLATE_NOOP("vellumix", "the update path is unsafe")},
    {&Msg::workDirectoryHasLink, QT_TRANSLATE_NOOP("vellumix", "the update directory must not contain a link")},
    {&Msg::pathHasLinkOrJunction, QT_TRANSLATE_NOOP("vellumix", "the update directory must not contain a link or junction")},
    {&Msg::cannotReadFile, QT_TRANSLATE_NOOP("vellumix", "cannot read the file")},
    {&Msg::fileTooLarge, QT_TRANSLATE_NOOP("vellumix", "the file exceeds the size limit")},
    {&Msg::cannotCreateUpdateDirectory, QT_TRANSLATE_NOOP("vellumix", "cannot create the update directory")},
    // The updater has always refused a link at a record's name like one on its folder.
    {&Msg::workDirectoryHasLink, QT_TRANSLATE_NOOP("vellumix", "the update directory must not contain a link")},
    {&Msg::cannotSaveUpdateFile, QT_TRANSLATE_NOOP("vellumix", "cannot save the update file; check disk space and permissions")},
    {&Msg::journalUnreadable, QT_TRANSLATE_NOOP("vellumix", "cannot read the update's recovery journal")},
    {&Msg::journalDamaged, QT_TRANSLATE_NOOP("vellumix", "the update's recovery journal is damaged; keep the backup and use the recovery tool")},
};
static_assert(std::size(kWordings) == CoreError::JournalDamaged + 1, "one wording a code");

// The one text of the updater that names what it concerns: the file's name follows it.
QString nameAfterText(const CoreError &error)
{
    return error.code == CoreError::CannotRead ? QFileInfo(error.path).fileName() : QString();
}

} // namespace

QString CoreError::updaterText() const
{
    if (ok())
        return QString();
    return *kWordings[code].updater + nameAfterText(*this);
}

QString CoreError::describe() const
{
    if (ok())
        return QString();
    QString english = QCoreApplication::translate("vellumix", kWordings[code].english);
    if (const QString name = nameAfterText(*this); !name.isEmpty())
        english += u' ' + name;
    return english + QStringLiteral(" (\"") + updaterText() + QStringLiteral("\")");
}

} // namespace vellumix
