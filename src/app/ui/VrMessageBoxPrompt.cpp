#include "app/ui/VrMessageBoxPrompt.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {
QString Caption() { return QCoreApplication::translate("VrMessageBoxPrompt", "提示"); }

// Lists the texts for lupdate-style extraction; the run hands them over as UTF-8.
[[maybe_unused]] const char* const kRunTexts[] = {
    QT_TRANSLATE_NOOP("HX_RunText", "指定的窗口不存在,请刷新列表"),
    QT_TRANSLATE_NOOP("HX_RunText", "编码器初始化失败"),
    QT_TRANSLATE_NOOP("HX_RunText", "网络推流初始化失败！"),
    QT_TRANSLATE_NOOP("HX_RunText", "视频采集失败！"),
    QT_TRANSLATE_NOOP("HX_RunText", "音频采集失败, 是否停止推流？"),
    QT_TRANSLATE_NOOP("HX_RunText", "初始化采集失败！"),
    QT_TRANSLATE_NOOP("HX_RunText", "磁盘存储空间不足500M，是否停止录制?"),
    QT_TRANSLATE_NOOP("HX_RunText", "dozi加载配置失败！"),
    QT_TRANSLATE_NOOP("HX_RunText", "程序已运行，请勿重复操作！！！"),
    QT_TRANSLATE_NOOP("HX_RunText", "创建单例程序锁失败!"),
    QT_TRANSLATE_NOOP("HX_RunText", "发布到媒体服务器（PublishUrl）只支持 H.264 编码，请改用 H.264 或清空 PublishUrl"),
    QT_TRANSLATE_NOOP("HX_RunText", "发布地址 PublishUrl 无效，应为 srt://、rist:// 或 rtmp:// 开头的完整地址"),
};
}  // namespace

QString VrMessageBoxPrompt::Translate(const std::string& text) {
  return QCoreApplication::translate("HX_RunText", text.c_str());
}

void VrMessageBoxPrompt::showMessage(const std::string& text) {
  QMessageBox::information(m_pParent, Caption(), Translate(text), QMessageBox::Ok);
}

bool VrMessageBoxPrompt::askOkCancel(const std::string& text) {
  return QMessageBox::question(m_pParent, Caption(), Translate(text), QMessageBox::Ok | QMessageBox::Cancel,
                               QMessageBox::Cancel) == QMessageBox::Ok;
}
