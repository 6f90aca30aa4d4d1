#include "servers/servers.h"

CServers::~CServers() { RemoveAll(); }

void CServers::RemoveAll() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  entries_.clear();
}

bool CServers::Add(std::unique_ptr<CServer> server) {
  if (!server) return false;
  std::lock_guard<std::recursive_mutex> hold(lock_);
  entries_.push_back(std::move(server));
  return true;
}

bool CServers::Add(const std::wstring& name, const std::wstring& address) {
  return Add(std::make_unique<CServer>(name, address));
}

CServer* CServers::GetFirst() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return entries_.empty() ? nullptr : entries_.front().get();
}

unsigned CServers::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(entries_.size());
}
