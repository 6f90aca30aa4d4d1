#include "net/connection_pool.h"

#include <algorithm>

namespace {

constexpr unsigned kSweepTimer = 1;
constexpr unsigned kSweepPeriodMs = 1000;
constexpr unsigned kFreeRetired = 1;

}  // namespace

bool ConnectionPool::Idle::End() {
  socket->Close(CWEBSocket::kCloseSilent);
  return true;
}

ConnectionPool::ConnectionPool() = default;

ConnectionPool::~ConnectionPool() {
  for (const std::unique_ptr<Idle>& entry : idle_) entry->socket->SetSink(nullptr);
}

std::unique_ptr<CWEBSocket> ConnectionPool::Take(const std::string& key) {
  Sweep(0);
  for (size_t i = idle_.size(); i-- > 0;) {
    if (idle_[i]->key != key) continue;
    std::unique_ptr<CWEBSocket> socket = std::move(idle_[i]->socket);
    socket->SetSink(nullptr);
    idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
    return socket;
  }
  return nullptr;
}

void ConnectionPool::Put(const std::string& key, std::unique_ptr<CWEBSocket> socket) {
  Sweep(0);
  if (socket->state() != CWEBSocket::kConnected) {
    Retire(std::move(socket));
    return;
  }
  size_t same = 0;
  for (const std::unique_ptr<Idle>& entry : idle_) same += entry->key == key;
  if (same >= kMaxIdlePerServer) {
    Retire(std::move(socket));
    return;
  }
  std::unique_ptr<Idle> entry(new Idle);
  entry->key = key;
  entry->since_ms = platform::MonotonicMs();
  socket->SetSink(entry.get());
  entry->socket = std::move(socket);
  idle_.push_back(std::move(entry));
  if (!HasTimer(kSweepTimer)) SetTimer(kSweepTimer, kSweepPeriodMs);
}

void ConnectionPool::Retire(std::unique_ptr<CWEBSocket> socket) {
  if (!socket) return;
  socket->SetSink(nullptr);
  socket->Close(CWEBSocket::kCloseSilent);
  retired_.push_back(std::move(socket));
  if (!free_posted_) free_posted_ = platform::PostMessage(handle(), kFreeRetired, 0, 0);
}

void ConnectionPool::CloseIdle() {
  for (const std::unique_ptr<Idle>& entry : idle_) entry->socket->Close(CWEBSocket::kCloseSilent);
  Sweep(0);
}

size_t ConnectionPool::idle() const {
  return static_cast<size_t>(std::count_if(idle_.begin(), idle_.end(), [](const std::unique_ptr<Idle>& e) {
    return e->socket->state() == CWEBSocket::kConnected;
  }));
}

void ConnectionPool::Sweep(uint64_t older_than_ms) {
  for (size_t i = idle_.size(); i-- > 0;) {
    Idle& entry = *idle_[i];
    if (entry.socket->state() == CWEBSocket::kConnected && entry.since_ms >= older_than_ms) continue;
    Retire(std::move(entry.socket));
    idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (idle_.empty()) KillTimer(kSweepTimer);
}

void ConnectionPool::OnMessage(unsigned msg, uintptr_t, intptr_t) {
  if (msg != kFreeRetired) return;
  free_posted_ = false;
  retired_.clear();
}

void ConnectionPool::OnTimer(unsigned id) {
  if (id != kSweepTimer) return;
  const uint64_t now = platform::MonotonicMs();
  Sweep(now > kIdleMs ? now - kIdleMs : 0);
}

ConnectionPool& SharedConnectionPool() {
  static ConnectionPool* const pool = new ConnectionPool;  // lives as long as the process
  return *pool;
}

void CloseIdleConnections() { SharedConnectionPool().CloseIdle(); }
