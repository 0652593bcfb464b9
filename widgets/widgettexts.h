// Every text of the update interface, in one place, named by meaning. The English source texts are
// translated at run time in the context "vellumix", as the client's are (client/clienttexts.h), so
// the translation the application loads with vellumix::loadTranslation covers both;
// translations/vellumix_zh_CN.ts holds their Chinese.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace WidgetMsg {

inline QString text(const char *source)
{
    return QCoreApplication::translate("vellumix", source);
}

// The window and the menu.
inline constexpr const char *windowTitle = QT_TRANSLATE_NOOP("vellumix", "Software Update");
inline constexpr const char *checkAction = QT_TRANSLATE_NOOP("vellumix", "Check for Updates…");
inline constexpr const char *checkActionTip =
    QT_TRANSLATE_NOOP("vellumix", "Look for a newer version of this program now");

// The offer. %1 is the application's name, %2 the new version, %3 the installed one.
inline constexpr const char *offerHeading =
    QT_TRANSLATE_NOOP("vellumix", "A new version of %1 is available");
inline constexpr const char *offerText = QT_TRANSLATE_NOOP(
    "vellumix", "%1 %2 is available; you have %3. Would you like to install it now?");
inline constexpr const char *offerCritical = QT_TRANSLATE_NOOP(
    "vellumix", "This is an important update that fixes a security problem: please install it soon.");
inline constexpr const char *releaseNotes = QT_TRANSLATE_NOOP("vellumix", "Release notes:");
inline constexpr const char *noReleaseNotes =
    QT_TRANSLATE_NOOP("vellumix", "This release comes without notes.");
// %1 is a size ("12.4 MB").
inline constexpr const char *downloadSize = QT_TRANSLATE_NOOP("vellumix", "Download size: %1");
inline constexpr const char *installUpdate = QT_TRANSLATE_NOOP("vellumix", "&Install Update");
inline constexpr const char *remindLater = QT_TRANSLATE_NOOP("vellumix", "&Remind Me Later");
inline constexpr const char *skipVersion = QT_TRANSLATE_NOOP("vellumix", "&Skip This Version");

// An explicit check on its way.
inline constexpr const char *checkingHeading =
    QT_TRANSLATE_NOOP("vellumix", "Checking for updates…");
inline constexpr const char *cancel = QT_TRANSLATE_NOOP("vellumix", "Cancel");

// The download. %1 the application's name, %2 the version.
inline constexpr const char *downloadingHeading =
    QT_TRANSLATE_NOOP("vellumix", "Downloading %1 %2…");
// %1 and %2 sizes.
inline constexpr const char *downloadProgress = QT_TRANSLATE_NOOP("vellumix", "%1 of %2");
// The same with %3 a size per second and the time left, %4 as "1:05" (minutes and seconds) or
// "1:02:05".
inline constexpr const char *downloadProgressLeft =
    QT_TRANSLATE_NOOP("vellumix", "%1 of %2 (%3/s), %4 left");
inline constexpr const char *downloadStarting = QT_TRANSLATE_NOOP("vellumix", "Starting…");
inline constexpr const char *downloadProgressName = QT_TRANSLATE_NOOP("vellumix", "Download progress");

// Ready to install. %1 the application's name, %2 the version.
inline constexpr const char *readyHeading =
    QT_TRANSLATE_NOOP("vellumix", "%1 %2 is ready to install");
inline constexpr const char *readyText = QT_TRANSLATE_NOOP(
    "vellumix",
    "Restart now to install it, or keep working: it is installed when you quit %1.");
inline constexpr const char *restartNow = QT_TRANSLATE_NOOP("vellumix", "&Restart Now");
inline constexpr const char *installOnQuit = QT_TRANSLATE_NOOP("vellumix", "Install on &Quit");

// A download that failed; the client's text for the failure follows.
inline constexpr const char *downloadFailedHeading =
    QT_TRANSLATE_NOOP("vellumix", "The update could not be downloaded");
inline constexpr const char *tryAgain = QT_TRANSLATE_NOOP("vellumix", "&Try Again");
inline constexpr const char *close = QT_TRANSLATE_NOOP("vellumix", "Close");
inline constexpr const char *ok = QT_TRANSLATE_NOOP("vellumix", "OK");

// The answers of an explicit check. %1 the application's name, %2 its version.
inline constexpr const char *upToDateHeading = QT_TRANSLATE_NOOP("vellumix", "You're up to date");
inline constexpr const char *upToDateText =
    QT_TRANSLATE_NOOP("vellumix", "%1 %2 is the newest version available.");
inline constexpr const char *checkFailedHeading =
    QT_TRANSLATE_NOOP("vellumix", "Checking for updates failed");
inline constexpr const char *failedHereHeading =
    QT_TRANSLATE_NOOP("vellumix", "The newest version is not installed again");

// After an update. %1 the version.
inline constexpr const char *updatedHeading = QT_TRANSLATE_NOOP("vellumix", "Updated to %1");
inline constexpr const char *notUpdatedHeading =
    QT_TRANSLATE_NOOP("vellumix", "The update to %1 did not stay");

} // namespace WidgetMsg
