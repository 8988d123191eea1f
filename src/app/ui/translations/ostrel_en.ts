<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>COstrelApp</name>
    <message>
        <source>澄影dozi</source>
        <translation>Ostrel</translation>
    </message>
</context>
<context>
    <name>COstrelDlg</name>
    <message>
        <source>澄影dozi（多屏使用时，保证缩放一致）</source>
        <translation>Ostrel (keep scaling equal on all monitors)</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>桌面选择</source>
        <translation>Monitor</translation>
    </message>
    <message>
        <source>画面采集</source>
        <translation>Video capture</translation>
    </message>
    <message>
        <source>全屏幕</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>单个窗口</source>
        <translation>Single window</translation>
    </message>
    <message>
        <source>屏幕范围</source>
        <translation>Screen region</translation>
    </message>
    <message>
        <source>窗口列表</source>
        <translation>Window</translation>
    </message>
    <message>
        <source>由系统选择</source>
        <translation>Chosen by the system</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>重启</source>
        <translation>Reopen</translation>
    </message>
    <message>
        <source>声音采集</source>
        <translation>Sound capture</translation>
    </message>
    <message>
        <source>开启</source>
        <translation>On</translation>
    </message>
    <message>
        <source>系统声音</source>
        <translation>System sound</translation>
    </message>
    <message>
        <source>其他</source>
        <translation>Other</translation>
    </message>
    <message>
        <source>推流方式</source>
        <translation>Push mode</translation>
    </message>
    <message>
        <source>NDI推流</source>
        <translation>NDI</translation>
    </message>
    <message>
        <source>澄影推流</source>
        <translation>Ostrel stream</translation>
    </message>
    <message>
        <source>同步录制</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>重启画笔</source>
        <translation>Restart pen</translation>
    </message>
    <message>
        <source>更多设置</source>
        <translation>More settings…</translation>
    </message>
    <message>
        <source>比例选择</source>
        <translation>Aspect ratio</translation>
    </message>
    <message>
        <source>显示器%1</source>
        <translation>Monitor %1</translation>
    </message>
    <message>
        <source>系统版本过低，请使用全屏幕或范围截屏</source>
        <translation>Window capture is not supported here; use full screen or a region</translation>
    </message>
    <message>
        <source>自定义</source>
        <translation>Custom</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>画笔正在运行，是否重启？</source>
        <translation>The pen tool is running. Restart it?</translation>
    </message>
</context>
<context>
    <name>HX_RunText</name>
    <message>
        <source>指定的窗口不存在,请刷新列表</source>
        <translation>The chosen window no longer exists; please refresh the list</translation>
    </message>
    <message>
        <source>编码器初始化失败</source>
        <translation>The encoder could not be initialised</translation>
    </message>
    <message>
        <source>网络推流初始化失败！</source>
        <translation>Network streaming could not be started!</translation>
    </message>
    <message>
        <source>视频采集失败！</source>
        <translation>Video capture failed!</translation>
    </message>
    <message>
        <source>音频采集失败, 是否停止推流？</source>
        <translation>Sound capture failed. Stop streaming?</translation>
    </message>
    <message>
        <source>初始化采集失败！</source>
        <translation>Capture could not be initialised!</translation>
    </message>
    <message>
        <source>磁盘存储空间不足500M，是否停止录制?</source>
        <translation>Less than 500 MB of disk space left. Stop recording?</translation>
    </message>
    <message>
        <source>dozi加载配置失败！</source>
        <translation>The configuration could not be loaded!</translation>
    </message>
    <message>
        <source>程序已运行，请勿重复操作！！！</source>
        <translation>The program is already running!</translation>
    </message>
    <message>
        <source>创建单例程序锁失败!</source>
        <translation>The single-instance lock could not be created!</translation>
    </message>
    <message>
        <source>发布到媒体服务器（PublishUrl）只支持 H.264 编码，请改用 H.264 或清空 PublishUrl</source>
        <translation>Publishing to a media server (PublishUrl) needs H.264; choose H.264 or clear PublishUrl</translation>
    </message>
    <message>
        <source>发布地址 PublishUrl 无效，应为 srt://、rist:// 或 rtmp:// 开头的完整地址</source>
        <translation>PublishUrl is not a valid address; it must be a full srt://, rist:// or rtmp:// URL</translation>
    </message>
</context>
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
        <source>显示鼠标指针</source>
        <translation>Show the mouse pointer</translation>
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
    <message>
        <source>不发布（rtmp://主机/live/名称 或 srt://主机:端口）</source>
        <translation>Off (rtmp://host/live/name or srt://host:port)</translation>
    </message>
    <message>
        <source>发布地址：</source>
        <translation>Publish to:</translation>
    </message>
    <message>
        <source>发布地址无效！</source>
        <translation>Invalid publishing address!</translation>
    </message>
</context>
<context>
    <name>VrMessageBoxPrompt</name>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
</context>
<context>
    <name>VrRunStatus</name>
    <message>
        <source>客户端 %1</source>
        <translation>Clients %1</translation>
    </message>
    <message>
        <source>NDI</source>
        <translation>NDI</translation>
    </message>
    <message>
        <source> · %1 帧/秒 · %2 kbit/s</source>
        <translation> · %1 fps · %2 kbit/s</translation>
    </message>
    <message>
        <source> · 录制 %1</source>
        <translation> · recording %1</translation>
    </message>
    <message>
        <source> · 发布 %1 kbit/s</source>
        <translation> · publishing %1 kbit/s</translation>
    </message>
    <message>
        <source> · 发布 重连中</source>
        <translation> · publishing: reconnecting</translation>
    </message>
    <message>
        <source> · 丢弃 %1</source>
        <translation> · dropped %1</translation>
    </message>
</context>
<context>
    <name>VrTrayIcon</name>
    <message>
        <source>打开主窗口</source>
        <translation>Open main window</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>澄影dozi</source>
        <translation>Ostrel</translation>
    </message>
</context>
</TS>
