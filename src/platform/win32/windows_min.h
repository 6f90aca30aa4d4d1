#pragma once
// <windows.h> for the back end, without the macros that would rename the
// platform layer's own functions (DeleteFile, PostMessage, MessageBox, ...).
// Back-end code calls the wide functions by their W names.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#undef DeleteFile
#undef CreateDirectory
#undef RemoveDirectory
#undef ReplaceFile
#undef PostMessage
#undef MessageBox
#undef GetProfileString
#undef WriteProfileString
#undef CreateFile

namespace platform {
namespace win32 {

// The modeless dialog whose keyboard input the message loops route to it.
extern HWND g_modeless_dialog;
HINSTANCE Instance();

}  // namespace win32
}  // namespace platform
