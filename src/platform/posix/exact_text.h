#pragma once
// The locale's spelling of a name, when it has one.
#include <string>

namespace platform {

// ToAnsi without the question marks: false when a character has no
// spelling in the locale's charset, or one that reads back as another.
bool ToAnsiExactly(const std::wstring& text, std::string* out);

}  // namespace platform
