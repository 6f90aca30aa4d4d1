#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

ScriptedServer::ScriptedServer(std::vector<std::vector<std::string>> replies)
    : replies_(std::move(replies)) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  listen(listen_fd_, 8);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

std::vector<std::string> ScriptedServer::requests() {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

void ScriptedServer::Serve() {
  for (const auto& pieces : replies_) {
    pollfd p{listen_fd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) == 0) {
    }
    if (stop_) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd c{fd, POLLIN, 0};
      if (poll(&c, 1, 5000) <= 0) break;
      ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      requests_.push_back(request);
    }
    for (const std::string& piece : pieces) {
      send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Hold the connection open a moment so the client ends it first.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(fd);
  }
}
