#pragma once
// Connections kept open between requests (HTTP/1.1 persistence), by the
// server and proxy they lead to. A kept connection is watched while it
// waits: when the server closes it, or sends anything unasked, it is
// dropped. Idle ones are closed after kIdleMs.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/web_socket.h"
#include "platform/event_loop.h"

class ConnectionPool : private platform::MessageTarget {
 public:
  static constexpr unsigned kIdleMs = 5000;
  // Servers get at most this many idle connections from one process.
  static constexpr size_t kMaxIdlePerServer = 8;

  ConnectionPool();
  ~ConnectionPool() override;
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The most recently kept open connection for |key|, its sink still to be
  // set; null when there is none.
  std::unique_ptr<CWEBSocket> Take(const std::string& key);
  // Keeps an open connection whose exchange has ended.
  void Put(const std::string& key, std::unique_ptr<CWEBSocket> socket);
  // Closes a connection now and frees it later: code of that connection may
  // still be running further up the stack.
  void Retire(std::unique_ptr<CWEBSocket> socket);
  void CloseIdle();
  // Idle connections still open.
  size_t idle() const;

 private:
  // Stands in as the sink of a waiting connection: anything it reports
  // ends it.
  struct Idle : IWEBSocketSink {
    std::string key;
    std::unique_ptr<CWEBSocket> socket;
    uint64_t since_ms = 0;
    bool OnSocketConnect(uint16_t) override { return End(); }
    bool OnSocketClose(uint8_t) override { return End(); }
    bool OnSocketData(const char*, int32_t) override { return End(); }
    bool OnSocketHeader(const char*, uint32_t, int32_t) override { return End(); }
    bool End();
  };

  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;
  void OnTimer(unsigned id) override;
  // Retires the closed connections and, with |older_than_ms|, the ones
  // idle since before it.
  void Sweep(uint64_t older_than_ms);

  std::vector<std::unique_ptr<Idle>> idle_;
  std::vector<std::unique_ptr<CWEBSocket>> retired_;
  bool free_posted_ = false;
};

// The pool of the process: like the loop, one for all transfers.
ConnectionPool& SharedConnectionPool();
// Closes every idle connection, as when the run turns to another server.
void CloseIdleConnections();
