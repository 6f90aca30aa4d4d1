#pragma once
// What the XML declaration at the head of a document says about its
// encoding; shared by the back ends' readers.
#include <string>

namespace platform {

// The encoding the declaration names, lower case; empty when there is no
// declaration or it names none. |head| is the document's first bytes.
std::string DeclaredXmlEncoding(const std::string& head);

// Tools on Windows declare GB2312 or GBK but write code page 936, the
// superset of both.
bool DeclaresCodePage936(const std::string& head);

}  // namespace platform
