<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>ui::UpgradeDialogNew</name>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Cancel Failed</source>
        <translation>取消失败</translation>
    </message>
    <message>
        <source>Cancel Success</source>
        <translation>取消成功</translation>
    </message>
    <message>
        <source>Canceling</source>
        <translation>正在取消</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Incremental Update Failed</source>
        <translation>遇到了小问题，请不要关闭，耐心等待哦...</translation>
    </message>
    <message>
        <source>Manual Update</source>
        <translation>手动更新</translation>
    </message>
    <message>
        <source>Open Client Program</source>
        <translation>打开客户端</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>非常遗憾，更新失败</translation>
    </message>
    <message>
        <source>Update Success</source>
        <translation>恭喜您，已更新成功</translation>
    </message>
    <message>
        <source>Updating</source>
        <translation>正在更新</translation>
    </message>
</context>
</TS>
