// Every text that the update client shows to the application's user, in one place, named by
// meaning. The English source texts are translated at run time in the context "vellumix"
// (ClientMsg::text), so they follow the translators the application installed;
// translations/vellumix_zh_CN.ts holds their Chinese. A changed source text needs its
// translations updated (lupdate, see docs/translations.md).
#pragma once

#include <QCoreApplication>
#include <QString>

namespace ClientMsg {

// The translation context of the client's texts (and of the release tool's).
inline constexpr char kContext[] = "vellumix";

// The text in the language of the installed translators; English without one.
inline QString text(const char *source)
{
    return QCoreApplication::translate(kContext, source);
}

inline constexpr const char *cancelled = QT_TRANSLATE_NOOP("vellumix", "The update was cancelled");
inline constexpr const char *busy = QT_TRANSLATE_NOOP(
    "vellumix", "Another update operation is in progress; please try again later");
inline constexpr const char *invalidFeed =
    QT_TRANSLATE_NOOP("vellumix", "The update address is invalid");
inline constexpr const char *feedUnreachable = QT_TRANSLATE_NOOP(
    "vellumix", "Cannot connect to the update server; please check the network and try again");
inline constexpr const char *serverRefused = QT_TRANSLATE_NOOP(
    "vellumix",
    "The update server refused the request; please try again later or contact the administrator");
inline constexpr const char *serverUnavailable = QT_TRANSLATE_NOOP(
    "vellumix", "The update server is temporarily unavailable; please try again later");
inline constexpr const char *secureConnectionFailed = QT_TRANSLATE_NOOP(
    "vellumix",
    "Cannot establish a secure connection to the update server; the update was stopped");
inline constexpr const char *manifestRejected = QT_TRANSLATE_NOOP(
    "vellumix", "The update information failed verification; the update was stopped");
inline constexpr const char *manifestExpired = QT_TRANSLATE_NOOP(
    "vellumix",
    "The update information has expired; the update was stopped, please try again later");
inline constexpr const char *downloadInvalid = QT_TRANSLATE_NOOP(
    "vellumix", "A downloaded update file failed verification; the update was stopped");
inline constexpr const char *stagingUnsafe = QT_TRANSLATE_NOOP(
    "vellumix", "The update's staging directory is unsafe; the update was stopped");
inline constexpr const char *stagingWriteFailed = QT_TRANSLATE_NOOP(
    "vellumix",
    "Cannot write to the update's staging directory; please check disk space and permissions");
inline constexpr const char *notStaged =
    QT_TRANSLATE_NOOP("vellumix", "The update has not finished downloading");
inline constexpr const char *notNewer = QT_TRANSLATE_NOOP(
    "vellumix",
    "The update to install is not newer than the current version; the update was stopped");
inline constexpr const char *workDirectoryFailed =
    QT_TRANSLATE_NOOP("vellumix", "Cannot create the update directory");
inline constexpr const char *updaterNotStarted =
    QT_TRANSLATE_NOOP("vellumix", "Cannot start the updater");
inline constexpr const char *failedHere = QT_TRANSLATE_NOOP(
    "vellumix",
    "This update failed to install on this computer before; it is not installed again unless you "
    "choose to retry");

// What became of the last update; %1 is the version of the update.
inline constexpr const char *outcomeInstalled =
    QT_TRANSLATE_NOOP("vellumix", "Updated to version %1");
inline constexpr const char *outcomeNewVersionEnded = QT_TRANSLATE_NOOP(
    "vellumix", "Version %1 did not start properly; the previous version was restored");
inline constexpr const char *outcomeVersionMismatch = QT_TRANSLATE_NOOP(
    "vellumix",
    "Version %1 reported a version number at its start that does not match the update; the "
    "previous version was restored");
inline constexpr const char *outcomeNotConfirmed = QT_TRANSLATE_NOOP(
    "vellumix", "Version %1 could not confirm a proper start; the previous version was restored");
inline constexpr const char *outcomeInstallFailed = QT_TRANSLATE_NOOP(
    "vellumix", "Version %1 could not be installed; the previous version was restored");
inline constexpr const char *outcomeInterrupted = QT_TRANSLATE_NOOP(
    "vellumix", "The update to version %1 was interrupted; the previous version was restored");
inline constexpr const char *outcomeUnconfirmed = QT_TRANSLATE_NOOP(
    "vellumix",
    "Version %1 did not confirm its start in time; the previous version was restored");
inline constexpr const char *outcomeNotInstalled = QT_TRANSLATE_NOOP(
    "vellumix", "Version %1 could not be installed; the program was not changed");

} // namespace ClientMsg
