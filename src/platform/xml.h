#pragma once
// A read-only view of an XML document: the root element, descendants by name
// in document order, attributes in document order, element children and text
// content, with the declared encoding decoded into wide strings.
//
// Documents never load anything from the network or from outside entities;
// a document with a DOCTYPE is refused, as is one that is not well-formed.
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(void* node) : node_(node) {}
  bool valid() const { return node_ != nullptr; }

  std::wstring Name() const;
  std::wstring Text() const;
  std::vector<std::pair<std::wstring, std::wstring>> Attributes() const;
  // Element children, in document order.
  std::vector<XmlNode> Children() const;
  // Elements named exactly |name| below this one (not itself), in document
  // order.
  std::vector<XmlNode> Descendants(const std::wstring& name) const;

 private:
  void* node_ = nullptr;
};

class XmlDocument {
 public:
  // Larger documents are refused; manifests are far smaller.
  static constexpr size_t kMaxBytes = 64u << 20;

  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  bool Load(const std::wstring& path);
  bool LoadBytes(const std::string& bytes);
  XmlNode Root() const;

 private:
  void* doc_ = nullptr;
};

}  // namespace platform
