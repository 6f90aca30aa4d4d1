#pragma once
// The server entry the next request goes to: its resume-file key and the
// complete address of the document to fetch.
#include <list>
#include <memory>
#include <mutex>
#include <string>

class CServer {
 public:
  CServer(std::wstring name, std::wstring address)
      : name(std::move(name)), address(std::move(address)) {}
  virtual ~CServer() = default;

  std::wstring name;     // "Temp%d" of the server number
  std::wstring address;  // complete request address
};

class CServers {
 public:
  CServers() = default;
  virtual ~CServers();
  CServers(const CServers&) = delete;
  CServers& operator=(const CServers&) = delete;

  void RemoveAll();
  // False for a null entry.
  bool Add(std::unique_ptr<CServer> server);
  bool Add(const std::wstring& name, const std::wstring& address);
  // The first entry, still owned by the list; null when empty.
  CServer* GetFirst();
  unsigned GetCount();

 private:
  std::list<std::unique_ptr<CServer>> entries_;
  std::recursive_mutex lock_;
};
