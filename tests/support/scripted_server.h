#pragma once
// A one-thread server for canned exchanges: for each connection it reads the
// request up to its blank line, records it, and sends the scripted reply
// pieces with a short pause between them. A piece kNextRequest reads and
// records the next request on the same connection; when the client closes
// instead, the server goes on with the next connection.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
 public:
  // replies[i] holds the pieces sent on the i-th connection.
  static const char kNextRequest[];
  explicit ScriptedServer(std::vector<std::vector<std::string>> replies);
  ~ScriptedServer();
  int port() const { return port_; }
  int connections() const { return connections_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> requests();

 private:
  void Serve();
  // Reads one request up to its blank line and records it; false when the
  // client closed first.
  bool ReadRequest(int fd);
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<std::vector<std::string>> replies_;
  std::vector<std::string> requests_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};
