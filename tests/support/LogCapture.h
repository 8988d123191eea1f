#pragma once
// Collects the glog lines written while it lives, for assertions on log text.
#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char*, const char* base_filename, int,
            const struct ::tm*, const char* message, size_t message_len) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(Line{severity, base_filename, std::string(message, message_len)});
  }
  struct Line {
    int severity;
    std::string file;
    std::string text;
  };
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  // Number of lines whose text contains |needle|.
  int count(const std::string& needle) const {
    int n = 0;
    for (const Line& l : lines()) n += l.text.find(needle) != std::string::npos;
    return n;
  }
  bool contains(const std::string& needle) const { return count(needle) > 0; }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;
};
