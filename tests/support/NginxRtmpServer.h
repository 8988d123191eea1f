#pragma once
// nginx with its RTMP module on a loopback port, for publishing tests: a
// generated configuration in a private directory (pid, logs and HLS there,
// nothing under /etc or /var), started in the foreground as a child, stopped,
// started again on the same port, or frozen with SIGSTOP (a server that keeps
// its connections but reads nothing). Skips are the caller's: ok() is false
// when nginx or the module is not installed. Test main thread only.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/FreePort.h"
#include "support/TempDir.h"

class NginxRtmpServer {
 public:
  static constexpr const char* kNginx = "/usr/sbin/nginx";
  static constexpr const char* kModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

  // |httpPort| > 0 also serves the HLS directory over HTTP at /hls/.
  explicit NginxRtmpServer(int httpPort = 0) : m_iPort(FreeLoopbackPort()) {
    if (!std::filesystem::exists(kNginx) || !std::filesystem::exists(kModule)) {
      m_strError = "nginx or libnginx-mod-rtmp is not installed";
      return;
    }
    std::filesystem::create_directories(m_dir.file("hls"));
    std::string conf = std::string("load_module ") + kModule + ";\n" +
                       // Run as root, nginx's workers would be nobody, who
                       // cannot write into the private directory.
                       (geteuid() == 0 ? "user root root;\n" : "") +
                       "daemon off;\nmaster_process on;\nworker_processes 1;\n"
                       "pid " + m_dir.file("nginx.pid") + ";\n"
                       "error_log " + m_dir.file("error.log") + " info;\n"
                       "events { worker_connections 64; }\n"
                       "rtmp { server { listen 127.0.0.1:" + std::to_string(m_iPort) + ";\n"
                       "  application live { live on; hls on; hls_path " + m_dir.file("hls") +
                       "; hls_fragment 1s; } } }\n";
    if (httpPort > 0) {
      const std::string tmp = m_dir.file("tmp");
      conf += "http { access_log off; client_body_temp_path " + tmp + "; proxy_temp_path " + tmp +
              "; fastcgi_temp_path " + tmp + "; uwsgi_temp_path " + tmp + "; scgi_temp_path " + tmp +
              ";\n  server { listen 127.0.0.1:" + std::to_string(httpPort) + "; location /hls/ { alias " +
              m_dir.file("hls") + "/; } } }\n";
    }
    m_dir.write("nginx.conf", conf);
    start();
  }
  ~NginxRtmpServer() { stop(); }
  NginxRtmpServer(const NginxRtmpServer&) = delete;
  NginxRtmpServer& operator=(const NginxRtmpServer&) = delete;

  bool ok() const { return m_pid > 0 && m_strError.empty(); }
  const std::string& error() const { return m_strError; }
  int port() const { return m_iPort; }
  std::string url(const std::string& stream) const {
    return "rtmp://127.0.0.1:" + std::to_string(m_iPort) + "/live/" + stream;
  }
  std::string log() const {
    std::ifstream in(m_dir.file("error.log"));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string hlsDir() const { return m_dir.file("hls"); }

  // Starts nginx and waits until the port accepts; false on failure.
  bool start() {
    if (m_pid > 0) return true;
    const std::string prefix = m_dir.path() + "/";
    const std::string conf = m_dir.file("nginx.conf");
    const std::string err = m_dir.file("error.log");
    const char* argv[] = {kNginx, "-p", prefix.c_str(), "-c", conf.c_str(), "-e", err.c_str(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, m_dir.file("nginx.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, m_dir.file("nginx.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    // Its own process group, so that stop() and freeze() reach the workers too.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    extern char** environ;
    if (posix_spawn(&m_pid, kNginx, &fa, &attr, const_cast<char* const*>(argv), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (m_pid <= 0) {
      m_strError = "cannot start nginx";
      return false;
    }
    for (int i = 0; i < 200; ++i) {
      if (Accepts()) return true;
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        m_strError = "nginx exited: " + log();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    m_strError = "nginx does not listen on port " + std::to_string(m_iPort);
    return false;
  }

  // Ends nginx and its workers at once: every connection breaks.
  void stop() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGCONT);
    kill(-m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

  // Freezes (true) or thaws (false) nginx: connections stay open, nothing is read.
  void freeze(bool frozen) {
    if (m_pid > 0) kill(-m_pid, frozen ? SIGSTOP : SIGCONT);
  }

 private:
  bool Accepts() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(m_iPort));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }

  TempDir m_dir;
  int m_iPort;
  pid_t m_pid = -1;
  std::string m_strError;
};
