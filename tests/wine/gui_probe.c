/* A helper of the Wine UI test.
 *   gui_probe gdi NAME   prints the GDI object count of the process named NAME
 *   gui_probe wait       waits forever: a namesake of the updater
 * Wine has no GetGuiResources; there the count is read from the process's
 * GDI handle table, whose address its PEB holds. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <tlhelp32.h>

typedef LONG(WINAPI* QueryProcess)(HANDLE, int, void*, ULONG, ULONG*);

enum { kHandleEntrySize = 24, kHandleTypeOffset = 14, kMaxHandles = 0x10000 };
/* Where the PEB holds the table's address, in a 64-bit and a 32-bit PEB. */
enum { kPeb64GdiTable = 0xF8, kPeb32GdiTable = 0x94 };
#ifdef _WIN64
enum { kPebGdiTable = kPeb64GdiTable };
#else
enum { kPebGdiTable = kPeb32GdiTable };
#endif

static DWORD FindProcess(const char* name) {
  PROCESSENTRY32 entry;
  DWORD id = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32First(snapshot, &entry); ok && !id; ok = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, name) == 0) id = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return id;
}

/* Where the table's address is: the PEB's field, or under a 64-bit Wine
 * for a 32-bit process the 64-bit PEB's, which Wine keeps one page below
 * the 32-bit PEB (it leaves the 32-bit field empty). */
static ULONG_PTR TableAddress(HANDLE process, char* peb) {
  ULONG_PTR table = 0;
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, peb + kPebGdiTable, &table, sizeof(table), &got)) return 0;
#ifndef _WIN64
  BOOL wow64 = FALSE;
  if (!table && IsWow64Process(process, &wow64) && wow64) {
    ULONGLONG wide = 0;
    if (ReadProcessMemory(process, peb - 0x1000 + kPeb64GdiTable, &wide, sizeof(wide), &got) && wide >> 32 == 0) {
      table = (ULONG_PTR)wide;
    }
  }
#endif
  return table;
}

static long CountFromHandleTable(HANDLE process) {
  struct { LONG status; void* peb; ULONG_PTR rest[4]; } basic;
  QueryProcess query = (QueryProcess)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
  if (!query || query(process, 0, &basic, sizeof(basic), NULL) != 0) {
    fprintf(stderr, "the process's PEB cannot be found\n");
    return -1;
  }
  ULONG_PTR table = TableAddress(process, (char*)basic.peb);
  if (!table) {
    fprintf(stderr, "the PEB holds no GDI handle table\n");
    return -1;
  }
  static unsigned char entries[kMaxHandles * kHandleEntrySize];
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, (void*)table, entries, sizeof(entries), &got)) {
    fprintf(stderr, "the GDI handle table cannot be read (error %lu)\n", GetLastError());
    return -1;
  }
  long count = 0;
  for (SIZE_T i = 0; i + kHandleEntrySize <= got; i += kHandleEntrySize) count += entries[i + kHandleTypeOffset] != 0;
  return count;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "wait") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (argc != 3 || strcmp(argv[1], "gdi") != 0) {
    fprintf(stderr, "usage: gui_probe gdi NAME | gui_probe wait\n");
    return 2;
  }
  DWORD id = FindProcess(argv[2]);
  HANDLE process = id ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id) : NULL;
  if (!process) {
    fprintf(stderr, "no process %s\n", argv[2]);
    return 1;
  }
  SetLastError(0);
  long count = (long)GetGuiResources(process, GR_GDIOBJECTS);
  if (count == 0 && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) count = CountFromHandleTable(process);
  CloseHandle(process);
  if (count < 0) {
    fprintf(stderr, "cannot count the GDI objects of %s\n", argv[2]);
    return 1;
  }
  printf("%ld\n", count);
  return 0;
}
