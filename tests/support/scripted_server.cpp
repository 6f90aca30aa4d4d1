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

const char ScriptedServer::kNextRequest[] = "\x01next request\x01";

bool ScriptedServer::ReadRequest(int fd) {
  std::string request;
  char c;
  // A byte at a time: what follows the blank line is the next request's.
  while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    if (recv(fd, &c, 1, 0) != 1) break;
    request += c;
  }
  if (request.empty()) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  requests_.push_back(request);
  return true;
}

void ScriptedServer::Serve() {
  for (const auto& pieces : replies_) {
    pollfd p{listen_fd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) == 0) {
    }
    if (stop_) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    ++connections_;
    bool open = ReadRequest(fd);
    for (const std::string& piece : pieces) {
      if (!open) break;
      if (piece == kNextRequest) {
        open = ReadRequest(fd);
        continue;
      }
      send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Hold the connection open a moment so the client ends it first.
    if (open) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(fd);
  }
}
