<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>ui::UpgradeDialogNew</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Cancel Failed</source>
        <translation>Fail to cancel</translation>
    </message>
    <message>
        <source>Cancel Success</source>
        <translation>Succeed to cancel</translation>
    </message>
    <message>
        <source>Canceling</source>
        <translation>Cancelling</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Incremental Update Failed</source>
        <translation>Encountered a small problem, please do not close, wait patiently...</translation>
    </message>
    <message>
        <source>Manual Update</source>
        <translation>Update manually</translation>
    </message>
    <message>
        <source>Open Client Program</source>
        <translation>Start Lumaroom</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>Sorry, fail to update</translation>
    </message>
    <message>
        <source>Update Success</source>
        <translation>Congratulations,succeed to update</translation>
    </message>
    <message>
        <source>Updating</source>
        <translation>Updating</translation>
    </message>
</context>
</TS>
