<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>ViZaroduDezoDlg</name>
    <message>
        <source>澄影dozi  (注: 开始截屏之后无法改变截屏窗口大小)</source>
        <translation>Ostrel capture region (note: its size is fixed once capturing starts)</translation>
    </message>
</context>
<context>
    <name>ViZaroduDezoSetDlg</name>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>视频编码</source>
        <translation>Video encoding</translation>
    </message>
    <message>
        <source>采集帧率：</source>
        <translation>Frame rate:</translation>
    </message>
    <message>
        <source>编码格式：</source>
        <translation>Codec:</translation>
    </message>
    <message>
        <source>编码码率：</source>
        <translation>Bit rate:</translation>
    </message>
    <message>
        <source>编码器选择：</source>
        <translation>Encoder:</translation>
    </message>
    <message>
        <source>端口号设置：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>声音</source>
        <translation>Sound</translation>
    </message>
    <message>
        <source>采样频率：</source>
        <translation>Sample rate:</translation>
    </message>
    <message>
        <source>码率：</source>
        <translation>Bit rate:</translation>
    </message>
    <message>
        <source>录制</source>
        <translation>Recording</translation>
    </message>
    <message>
        <source>保存目录：</source>
        <translation>Save to:</translation>
    </message>
    <message>
        <source>选择目录</source>
        <translation>Choose folder</translation>
    </message>
    <message>
        <source>打开目录</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>自动分割录制文件：</source>
        <translation>Split recordings automatically:</translation>
    </message>
    <message>
        <source>录制时间达到60分钟</source>
        <translation>Every 60 minutes</translation>
    </message>
    <message>
        <source>录制文件达到500MB</source>
        <translation>Every 500 MB</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>保存并应用</source>
        <translation>Save and apply</translation>
    </message>
    <message>
        <source>选择保存目录:</source>
        <translation>Choose the folder for recordings:</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>端口号无效！</source>
        <translation>Invalid port number!</translation>
    </message>
</context>
</TS>
