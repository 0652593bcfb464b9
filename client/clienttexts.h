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

} // namespace ClientMsg
