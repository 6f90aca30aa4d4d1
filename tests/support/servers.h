#pragma once
// Servers the tests start on 127.0.0.1 and stop again.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A child process, killed (with its process group) when this goes away.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The test update server of tools/test_server.py, serving |root|. Request
// paths must be text in |path_encoding|, as the names on disk are.
class TestUpdateServer {
 public:
  explicit TestUpdateServer(const std::string& root, const std::string& path_encoding = "utf-8");
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Replaces the misbehaviour rules: JSON object of path -> rule.
  void SetRules(const std::string& json);
  // Every request so far, one JSON line each.
  std::string RequestLog() const;
  int CountRequests(const std::string& path_fragment) const;

 private:
  std::string dir_;
  std::string rules_;
  std::string log_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// A server certificate and its key, as PEM files.
struct TlsFiles {
  std::string certificate;
  std::string key;
};

// nginx from the distribution, with its own configuration, serving |root|.
// |extra| goes into the server block (for example "limit_rate 4m;"). With
// |tls| it speaks HTTPS only, and its base names the host "localhost".
class NginxServer {
 public:
  NginxServer(const std::string& root, const std::string& extra = "", const TlsFiles& tls = TlsFiles());
  ~NginxServer();
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  // The access log so far, one line per finished request in nginx's
  // combined format (status, then the body bytes sent), then "p" for a
  // request that came pipelined ("." otherwise), and last the serial
  // number of the connection that carried it.
  std::string AccessLog() const;
  std::string base() const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_);
  }

 private:
  std::string dir_;
  int port_ = 0;
  bool tls_ = false;
  std::unique_ptr<ChildProcess> process_;
};

// A free TCP port on 127.0.0.1 (free when asked; good enough for tests).
int FreePort();
// tinyproxy's command line for |port|, its configuration written into |dir|.
std::vector<std::string> TinyproxyCommand(const std::string& dir, int port);
// microsocks' command line for |port|, with a user and password when given.
std::vector<std::string> MicrosocksCommand(int port, const std::string& user = "", const std::string& password = "");
// Starts the program |argv(port)| on a port picked just before the start,
// trying again if another process took it meanwhile; null when it never
// listened. The port ends up in |*port|.
std::unique_ptr<ChildProcess> StartOnFreePort(const std::function<std::vector<std::string>(int)>& argv,
                                              int* port);
// Waits until something listens on |port|.
bool WaitForPort(int port, int timeout_ms);
// The absolute path of a program, or empty.
std::string FindProgram(const std::string& name);
