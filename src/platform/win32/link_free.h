#pragma once
// Below the link-free root (files.h) no component may be a reparse point: a
// junction or symbolic link planted in the install could lead anywhere.
#include <string>

namespace platform {

// True when |path| lies below the root and one of its components after the
// root, the last one included, is a reparse point. The last error is then
// ERROR_ACCESS_DENIED.
bool CrossesReparsePoint(const std::wstring& path);

}  // namespace platform
