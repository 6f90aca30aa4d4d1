#pragma once
// The manifest of one update run: the version list's values and the file
// entries of the working version.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "manifest/packed_entries.h"
#include "manifest/update_file.h"
#include "platform/xml.h"

class AbsentFiles;

// The rows of a report list, as the publisher tool prints them.
class IListCtrl {
 public:
  // Inserts a row at |index|; returns its index, or -1 on failure.
  virtual int InsertItem(int index, const std::wstring& text, bool selected) = 0;
  virtual void SetItemText(int row, int column, const std::wstring& text) = 0;

 protected:
  ~IListCtrl() = default;
};

class CUpdateFiles {
 public:
  CUpdateFiles();
  // Bases for an installation at |moduleDir| rather than beside the
  // running executable.
  void SetBaseDirectories(const std::wstring& moduleDir);
  virtual ~CUpdateFiles();
  CUpdateFiles(const CUpdateFiles&) = delete;
  CUpdateFiles& operator=(const CUpdateFiles&) = delete;

  // Version mode (|productOnly|): reads the first Product element's
  // attributes by position; the result carries no information. File mode:
  // reads every File element; false when the document cannot be read.
  bool LoadXml(const std::wstring& path, bool productOnly);
  void LoadUrlList(const std::wstring& path);

  void RemoveAll();
  // The first entry, now the caller's; null when none is left.
  std::unique_ptr<CUpdateFile> PopFront();
  void AddTail(std::unique_ptr<CUpdateFile> entry);
  // Deletes every entry for which |drop| is true, in one pass; returns how
  // many.
  unsigned RemoveIf(const std::function<bool(const CUpdateFile&)>& drop);
  unsigned GetCount();
  bool IsEmpty();
  // A copy of entry |index| in document order; null past the end.
  std::unique_ptr<CUpdateFile> Entry(unsigned index);
  // Each entry in document order. The entry |visit| is given lives only
  // for the call; Update keeps what |change| makes of it.
  void ForEach(const std::function<void(const CUpdateFile&)>& visit);
  void Update(const std::function<void(CUpdateFile&)>& change);

  // Entries that name one target (as the file system compares names) count
  // once when they agree on its contents. False when two disagree; then
  // |conflict| is the entry's path below its base and the list is as read.
  bool DropDuplicates(std::wstring* conflict);

  // Keeps the entries whose file is missing or (unless |existingOnly|)
  // differs, each marked for update. A path |absent| is sure of is missing
  // without a look-up of its own.
  unsigned CheckLocalFiles(bool existingOnly, AbsentFiles* absent = nullptr);
  // 64-bit, so totals of 4 GiB and more stay right.
  uint64_t GetUpdateLength();

  bool SaveXml(const std::wstring& path);
  bool AddLocalFile(const std::wstring& path, const std::wstring* localPath);
  void FillListCtrl(IListCtrl* listCtrl);

  std::wstring ModuleDir;
  std::wstring WindowsDir;
  std::wstring SystemDir;
  std::wstring productVerion;
  std::wstring maxVersion;
  std::wstring UrlList[8];

  // Set when made; the first version list read clears it, so that
  // maxVersion keeps the value of that first list.
  bool FirstProductLoad = true;

 private:
  void AddEntry(const platform::XmlElement& file);
  std::wstring ExpandPath(const CUpdateFile& entry) const;

  std::recursive_mutex lock_;
  // Entries in document order; guarded by the lock.
  PackedEntries files_;
};
