// Every text that the update client shows to the application's user, in one place, named by
// meaning. Shown exactly as they stand: never translate, trim or reword them in place.
#pragma once

#include <QString>

namespace ClientMsg {

inline const QString cancelled = QStringLiteral(u"更新已取消");
inline const QString busy = QStringLiteral(u"另一项更新操作正在进行，请稍后再试");
inline const QString invalidFeed = QStringLiteral(u"更新地址无效");
inline const QString feedUnreachable = QStringLiteral(u"无法连接更新服务器，请检查网络后重试");
inline const QString serverRefused = QStringLiteral(u"更新服务器拒绝了请求，请稍后重试或联系管理员");
inline const QString serverUnavailable = QStringLiteral(u"更新服务器暂时无法使用，请稍后重试");
inline const QString secureConnectionFailed = QStringLiteral(u"无法与更新服务器建立安全连接，已停止更新");
inline const QString manifestRejected = QStringLiteral(u"更新信息未通过验证，已停止更新");
inline const QString manifestExpired = QStringLiteral(u"更新信息已过期，已停止更新，请稍后重试");
inline const QString downloadInvalid = QStringLiteral(u"下载的更新文件校验失败，已停止更新");
inline const QString stagingUnsafe = QStringLiteral(u"更新暂存目录不安全，已停止更新");
inline const QString stagingWriteFailed = QStringLiteral(u"无法写入更新暂存目录，请检查磁盘空间和权限");
inline const QString notStaged = QStringLiteral(u"更新尚未下载完成");
inline const QString notNewer = QStringLiteral(u"待安装的更新不比当前版本新，已停止更新");
inline const QString workDirectoryFailed = QStringLiteral(u"无法创建更新目录");
inline const QString updaterNotStarted = QStringLiteral(u"无法启动更新程序");
inline const QString failedHere = QStringLiteral(u"此更新曾在本机安装失败，除非选择重试，不会再次安装");

// What became of the last update; %1 is the version of the update.
inline const QString outcomeInstalled = QStringLiteral(u"已更新到版本 %1");
inline const QString outcomeNewVersionEnded = QStringLiteral(u"版本 %1 未能正常启动，已恢复上一版本");
inline const QString outcomeVersionMismatch =
    QStringLiteral(u"版本 %1 启动时报告的版本号与更新不符，已恢复上一版本");
inline const QString outcomeNotConfirmed = QStringLiteral(u"版本 %1 未能确认正常启动，已恢复上一版本");
inline const QString outcomeInstallFailed = QStringLiteral(u"版本 %1 未能安装，已恢复上一版本");
inline const QString outcomeInterrupted = QStringLiteral(u"更新到版本 %1 时被中断，已恢复上一版本");
inline const QString outcomeUnconfirmed =
    QStringLiteral(u"版本 %1 未在规定时间内确认启动，已恢复上一版本");
inline const QString outcomeNotInstalled = QStringLiteral(u"版本 %1 未能安装，程序未作更改");

} // namespace ClientMsg
