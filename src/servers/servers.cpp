#include "servers/servers.h"

CServers::~CServers() { RemoveAll(); }

void CServers::RemoveAll() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  while (!entries_.empty()) {
    delete entries_.front();
    entries_.pop_front();
  }
}

bool CServers::Add(CServer* server) {
  if (!server) return false;
  std::lock_guard<std::recursive_mutex> hold(lock_);
  entries_.push_back(server);
  return true;
}

bool CServers::Add(const std::wstring& name, const std::wstring& address) {
  return Add(new CServer(name, address));
}

CServer* CServers::GetFirst() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  for (CServer* s : entries_) {
    if (s) return s;
  }
  return nullptr;
}

unsigned CServers::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(entries_.size());
}
