#pragma once
// How a capture run talks to its operator: the dialog shows message boxes, the
// headless runner prints and answers by policy. Called on the thread that
// starts and stops runs.
#include <string>
#include <vector>

class HX_IOperatorPrompt {
 public:
  virtual ~HX_IOperatorPrompt() = default;
  // A message with an OK button (caption "提示").
  virtual void showMessage(const std::string& text) = 0;
  // A question with OK and Cancel; true means OK.
  virtual bool askOkCancel(const std::string& text) = 0;
};

// The operator texts of a capture run.
namespace HX_RunText {
constexpr char kWindowMissing[] = "指定的窗口不存在,请刷新列表";
constexpr char kEncoderInitFailed[] = "编码器初始化失败";
constexpr char kNetworkInitFailed[] = "网络推流初始化失败！";
constexpr char kVideoCaptureFailed[] = "视频采集失败！";
constexpr char kAudioCaptureFailed[] = "音频采集失败, 是否停止推流？";
constexpr char kCaptureInitFailed[] = "初始化采集失败！";
constexpr char kLowDisk[] = "磁盘存储空间不足500M，是否停止录制?";
constexpr char kConfigLoadFailed[] = "dozi加载配置失败！";
constexpr char kAlreadyRunning[] = "程序已运行，请勿重复操作！！！";
constexpr char kLockFailed[] = "创建单例程序锁失败!";
constexpr char kPublishNeedsH264[] = "发布到媒体服务器（PublishUrl）只支持 H.264 编码，请改用 H.264 或清空 PublishUrl";
constexpr char kPublishUrlInvalid[] = "发布地址 PublishUrl 无效，应为 srt://、rist:// 或 rtmp:// 开头的完整地址";
}  // namespace HX_RunText

// Tells the operator, in one message, of every config.ini value the last load
// refused (HX_ServerConfiguration::loadProblems); nothing when there is none.
inline void HX_TellLoadProblems(HX_IOperatorPrompt* prompt, const std::vector<std::string>& problems) {
  if (prompt == nullptr || problems.empty()) return;
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "\n") + p;
  prompt->showMessage(text);
}
