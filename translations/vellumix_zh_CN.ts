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
</context>
</TS>
