#pragma once
// A read-only view of an XML document: the root element, descendants by name
// in document order, attributes in document order, element children and text
// content, with the declared encoding decoded into wide strings.
//
// Documents never load anything from the network or from outside entities;
// a document with a DOCTYPE is refused, as is one that is not well-formed.
#include <cstdint>
#include <functional>
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
  // Larger documents are refused: the tree costs several times the bytes.
  // Big documents are streamed (StreamXmlElements).
  static constexpr size_t kMaxBytes = 16u << 20;

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

// One element met while streaming a document: its name, its attributes in
// document order (namespace declarations left out) and, in document order,
// the name and text content of each element child.
struct XmlElement {
  std::wstring name;
  std::vector<std::pair<std::wstring, std::wstring>> attributes;
  std::vector<std::pair<std::wstring, std::wstring>> children;
};

// Largest document StreamXmlElements reads.
constexpr uint64_t kMaxStreamedXmlBytes = uint64_t{512} << 20;

// What of each element is collected: an element whose subtree is the bulk
// of the document (a manifest's Product) is read for its attributes only.
enum class XmlParts { kAttributes, kAttributesAndChildren };

// Reads the document at |path| without holding its tree: |visit| is called
// for each element named |name| below the root element, in document order,
// until it returns false. False when the document is refused for the reasons
// XmlDocument refuses one, or is larger than kMaxStreamedXmlBytes; elements
// before the fault have been visited then. Memory stays that of one element.
bool StreamXmlElements(const std::wstring& path, const std::wstring& name, XmlParts parts,
                       const std::function<bool(const XmlElement&)>& visit);

}  // namespace platform
