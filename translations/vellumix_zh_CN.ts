<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>vellumix</name>
    <message>
        <source>The update was cancelled</source>
        <translation>更新已取消</translation>
    </message>
    <message>
        <source>Another update operation is in progress; please try again later</source>
        <translation>另一项更新操作正在进行，请稍后再试</translation>
    </message>
    <message>
        <source>The update address is invalid</source>
        <translation>更新地址无效</translation>
    </message>
    <message>
        <source>Cannot connect to the update server; please check the network and try again</source>
        <translation>无法连接更新服务器，请检查网络后重试</translation>
    </message>
    <message>
        <source>The update server refused the request; please try again later or contact the administrator</source>
        <translation>更新服务器拒绝了请求，请稍后重试或联系管理员</translation>
    </message>
    <message>
        <source>The update server is temporarily unavailable; please try again later</source>
        <translation>更新服务器暂时无法使用，请稍后重试</translation>
    </message>
    <message>
        <source>Cannot establish a secure connection to the update server; the update was stopped</source>
        <translation>无法与更新服务器建立安全连接，已停止更新</translation>
    </message>
    <message>
        <source>The update information failed verification; the update was stopped</source>
        <translation>更新信息未通过验证，已停止更新</translation>
    </message>
    <message>
        <source>The update information has expired; the update was stopped, please try again later</source>
        <translation>更新信息已过期，已停止更新，请稍后重试</translation>
    </message>
    <message>
        <source>A downloaded update file failed verification; the update was stopped</source>
        <translation>下载的更新文件校验失败，已停止更新</translation>
    </message>
    <message>
        <source>The update&apos;s staging directory is unsafe; the update was stopped</source>
        <translation>更新暂存目录不安全，已停止更新</translation>
    </message>
    <message>
        <source>Cannot write to the update&apos;s staging directory; please check disk space and permissions</source>
        <translation>无法写入更新暂存目录，请检查磁盘空间和权限</translation>
    </message>
    <message>
        <source>The update has not finished downloading</source>
        <translation>更新尚未下载完成</translation>
    </message>
    <message>
        <source>The update to install is not newer than the current version; the update was stopped</source>
        <translation>待安装的更新不比当前版本新，已停止更新</translation>
    </message>
    <message>
        <source>Cannot create the update directory</source>
        <translation>无法创建更新目录</translation>
    </message>
    <message>
        <source>Cannot start the updater</source>
        <translation>无法启动更新程序</translation>
    </message>
    <message>
        <source>This update failed to install on this computer before; it is not installed again unless you choose to retry</source>
        <translation>此更新曾在本机安装失败，除非选择重试，不会再次安装</translation>
    </message>
    <message>
        <source>Updated to version %1</source>
        <translation>已更新到版本 %1</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; the previous version was restored</source>
        <translation>版本 %1 未能正常启动，已恢复上一版本</translation>
    </message>
    <message>
        <source>Version %1 reported a version number at its start that does not match the update; the previous version was restored</source>
        <translation>版本 %1 启动时报告的版本号与更新不符，已恢复上一版本</translation>
    </message>
    <message>
        <source>Version %1 could not confirm a proper start; the previous version was restored</source>
        <translation>版本 %1 未能确认正常启动，已恢复上一版本</translation>
    </message>
    <message>
        <source>Version %1 could not be installed; the previous version was restored</source>
        <translation>版本 %1 未能安装，已恢复上一版本</translation>
    </message>
    <message>
        <source>The update to version %1 was interrupted; the previous version was restored</source>
        <translation>更新到版本 %1 时被中断，已恢复上一版本</translation>
    </message>
    <message>
        <source>Version %1 did not confirm its start in time; the previous version was restored</source>
        <translation>版本 %1 未在规定时间内确认启动，已恢复上一版本</translation>
    </message>
    <message>
        <source>Version %1 could not be installed; the program was not changed</source>
        <translation>版本 %1 未能安装，程序未作更改</translation>
    </message>
    <message>
        <source>Software Update</source>
        <translation>软件更新</translation>
    </message>
    <message>
        <source>Check for Updates…</source>
        <translation>检查更新…</translation>
    </message>
    <message>
        <source>Look for a newer version of this program now</source>
        <translation>立即查找此程序的新版本</translation>
    </message>
    <message>
        <source>A new version of %1 is available</source>
        <translation>%1 有新版本可用</translation>
    </message>
    <message>
        <source>%1 %2 is available; you have %3. Would you like to install it now?</source>
        <translation>%1 %2 已推出，您当前的版本是 %3。要立即安装吗？</translation>
    </message>
    <message>
        <source>This is an important update that fixes a security problem: please install it soon.</source>
        <translation>这是一个修复安全问题的重要更新，请尽快安装。</translation>
    </message>
    <message>
        <source>Release notes:</source>
        <translation>更新说明：</translation>
    </message>
    <message>
        <source>This release comes without notes.</source>
        <translation>此版本没有附带更新说明。</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>下载大小：%1</translation>
    </message>
    <message>
        <source>&amp;Install Update</source>
        <translation>安装更新(&amp;I)</translation>
    </message>
    <message>
        <source>&amp;Remind Me Later</source>
        <translation>稍后提醒我(&amp;R)</translation>
    </message>
    <message>
        <source>&amp;Skip This Version</source>
        <translation>跳过此版本(&amp;S)</translation>
    </message>
    <message>
        <source>Checking for updates…</source>
        <translation>正在检查更新…</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Downloading %1 %2…</source>
        <translation>正在下载 %1 %2…</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>已下载 %1，共 %2</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/s), %4 left</source>
        <translation>已下载 %1，共 %2（%3/秒），剩余 %4</translation>
    </message>
    <message>
        <source>Starting…</source>
        <translation>正在准备…</translation>
    </message>
    <message>
        <source>Download progress</source>
        <translation>下载进度</translation>
    </message>
    <message>
        <source>%1 %2 is ready to install</source>
        <translation>%1 %2 已准备好安装</translation>
    </message>
    <message>
        <source>Restart now to install it, or keep working: it is installed when you quit %1.</source>
        <translation>立即重启以安装更新，或继续工作：退出 %1 时会自动安装。</translation>
    </message>
    <message>
        <source>&amp;Restart Now</source>
        <translation>立即重启(&amp;R)</translation>
    </message>
    <message>
        <source>Install on &amp;Quit</source>
        <translation>退出时安装(&amp;Q)</translation>
    </message>
    <message>
        <source>The update could not be downloaded</source>
        <translation>无法下载更新</translation>
    </message>
    <message>
        <source>&amp;Try Again</source>
        <translation>重试(&amp;T)</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>You&apos;re up to date</source>
        <translation>已是最新版本</translation>
    </message>
    <message>
        <source>%1 %2 is the newest version available.</source>
        <translation>%1 %2 是目前可用的最新版本。</translation>
    </message>
    <message>
        <source>Checking for updates failed</source>
        <translation>检查更新失败</translation>
    </message>
    <message>
        <source>The newest version is not installed again</source>
        <translation>最新版本不会再次安装</translation>
    </message>
    <message>
        <source>Updated to %1</source>
        <translation>已更新到版本 %1</translation>
    </message>
    <message>
        <source>The update to %1 did not stay</source>
        <translation>未能更新到版本 %1</translation>
    </message>
</context>
</TS>
