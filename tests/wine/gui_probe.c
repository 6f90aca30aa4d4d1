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
/* Where the PEB holds the table's address. */
#ifdef _WIN64
enum { kPebGdiTable = 0xF8 };
#else
enum { kPebGdiTable = 0x94 };
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

static long CountFromHandleTable(HANDLE process) {
  struct { LONG status; void* peb; ULONG_PTR rest[4]; } basic;
  ULONG_PTR table = 0;
  SIZE_T got = 0;
  QueryProcess query = (QueryProcess)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
  if (!query || query(process, 0, &basic, sizeof(basic), NULL) != 0) return -1;
  if (!ReadProcessMemory(process, (char*)basic.peb + kPebGdiTable, &table, sizeof(table), &got) || !table) return -1;
  static unsigned char entries[kMaxHandles * kHandleEntrySize];
  if (!ReadProcessMemory(process, (void*)(ULONG_PTR)table, entries, sizeof(entries), &got)) return -1;
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
