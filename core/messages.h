// Every text that the updater shows to its user, in one place, named by meaning.
//
// A failure anywhere in the updater is a thrown QString holding one of these texts (some followed
// directly by a relative path or a file name); only the driver catches it. The texts are shown
// exactly as they stand here: never translate, trim or reword them in place.
#pragma once

#include <QString>

namespace Msg {

// Driver: parent wait and outcome of the new version.
inline const QString parentNotConfirmedGone = QStringLiteral(u"无法确认旧程序已经退出");
inline const QString parentStillRunning = QStringLiteral(u"程序尚未退出，更新已取消");
inline const QString newVersionNotStarted = QStringLiteral(u"新版未能启动");
inline const QString newVersionFailedRestored = QStringLiteral(u"新版启动失败，已恢复上一版本。");
inline const QString newVersionUnconfirmed = QStringLiteral(
    u"新版尚未确认启动完成。为避免丢失内容，没有强行关闭程序。请保存并退出；下次打开时会恢复上一版本。");

// Final texts around a handled failure, and the title of every message box.
inline const QString failurePrefix = QStringLiteral(u"更新没有完成：\n");
inline const QString failureTail = QStringLiteral(u"\n原有文件仍保留，请继续使用原版本或重试。");
inline const QString rollbackSeparator = QStringLiteral(u"\n");
inline const QString backupKeptTail =
    QStringLiteral(u"\n旧文件保留在程序目录 .vellumix-update/backup 中。");
inline const QString messageTitle = QStringLiteral(u"Vellumix 更新");

// Signed envelope and payload.
inline const QString manifestTooLarge = QStringLiteral(u"更新清单过大");
inline const QString signatureRejected = QStringLiteral(u"更新签名验证失败，已停止更新");
inline const QString unsupportedUpdate = QStringLiteral(u"不支持的更新版本");
inline const QString fileListInvalid = QStringLiteral(u"更新文件列表无效");
inline const QString illegalOrDuplicatePath = QStringLiteral(u"清单包含非法或重复路径");
inline const QString fileChecksInvalid = QStringLiteral(u"更新文件校验信息无效");
inline const QString totalSizeExceeded = QStringLiteral(u"更新总大小超出限制");
inline const QString requiredProgramsMissing = QStringLiteral(u"更新清单缺少必要程序");

// File-system guards.
inline const QString unsafeUpdatePath = QStringLiteral(u"更新路径不安全");
inline const QString workDirectoryHasLink = QStringLiteral(u"更新目录不能含链接");
inline const QString pathHasLinkOrJunction = QStringLiteral(u"更新目录不能含链接或目录联接");

// Bounded read and atomic write. `cannotReadFile` is followed by the file's name.
inline const QString cannotReadFile = QStringLiteral(u"无法读取文件：");
inline const QString fileTooLarge = QStringLiteral(u"文件超出大小限制");
inline const QString cannotCreateUpdateDirectory = QStringLiteral(u"无法创建更新目录");
inline const QString cannotSaveUpdateFile = QStringLiteral(u"无法保存更新文件，请检查空间和权限");

// Journal.
inline const QString journalUnreadable = QStringLiteral(u"无法读取更新恢复记录");
inline const QString journalDamaged =
    QStringLiteral(u"更新恢复记录损坏，请保留备份并使用恢复工具");

// Install procedure. The texts ending in "：" are followed by the file's relative path.
inline const QString previousUpdateUnfinished = QStringLiteral(u"上次更新尚未完成");
inline const QString programDirectoryNotWritable = QStringLiteral(u"程序目录不可写");
inline const QString stagedFileInvalid = QStringLiteral(u"待安装文件校验失败：");
inline const QString notEnoughDiskSpace = QStringLiteral(u"安装磁盘空间不足");
inline const QString backupContainsLink = QStringLiteral(u"备份目录包含链接");
inline const QString cannotClearOldBackup = QStringLiteral(u"无法清理上一份更新备份");
inline const QString fileInUseOrDirectoryReadOnly = QStringLiteral(u"文件被占用或目录不可写：");
inline const QString installFileFailed = QStringLiteral(u"安装文件失败：");
inline const QString installedFileInvalid = QStringLiteral(u"安装后校验失败");

// Rollback.
inline const QString restoreTargetInUse = QStringLiteral(u"恢复旧版时文件仍被占用");
inline const QString cannotRestoreOldFile = QStringLiteral(u"无法恢复旧版文件");
inline const QString cannotRemoveNewFile = QStringLiteral(u"无法移除未完成的新文件");

} // namespace Msg
