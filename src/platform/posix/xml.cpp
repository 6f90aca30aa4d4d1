#include "platform/xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "platform/file.h"
#include "platform/text.h"
#include "platform/xml_encoding.h"

namespace platform {
namespace {

xmlNode* N(void* p) { return static_cast<xmlNode*>(p); }

std::wstring Wide(const xmlChar* utf8) {
  return utf8 ? FromUtf8(reinterpret_cast<const char*>(utf8)) : std::wstring();
}

void SilentErrors(void*, const char*, ...) {}

void CollectDescendants(xmlNode* parent, const std::string& name, std::vector<XmlNode>* out) {
  // Iterative walk: a hostile document may nest deeply.
  xmlNode* node = parent->children;
  while (node && node != parent) {
    if (node->type == XML_ELEMENT_NODE &&
        name == reinterpret_cast<const char*>(node->name)) {
      out->emplace_back(node);
    }
    if (node->type == XML_ELEMENT_NODE && node->children) {
      node = node->children;
      continue;
    }
    while (node != parent && !node->next) node = node->parent;
    if (node != parent) node = node->next;
  }
}

}  // namespace

std::wstring XmlNode::Name() const { return node_ ? Wide(N(node_)->name) : std::wstring(); }

std::wstring XmlNode::Text() const {
  if (!node_) return std::wstring();
  xmlChar* content = xmlNodeGetContent(N(node_));
  std::wstring text = Wide(content);
  xmlFree(content);
  return text;
}

std::vector<std::pair<std::wstring, std::wstring>> XmlNode::Attributes() const {
  std::vector<std::pair<std::wstring, std::wstring>> list;
  if (!node_ || N(node_)->type != XML_ELEMENT_NODE) return list;
  for (xmlAttr* a = N(node_)->properties; a; a = a->next) {
    xmlChar* value = xmlNodeListGetString(N(node_)->doc, a->children, 1);
    list.emplace_back(Wide(a->name), Wide(value));
    xmlFree(value);
  }
  return list;
}

std::vector<XmlNode> XmlNode::Children() const {
  std::vector<XmlNode> list;
  if (!node_) return list;
  for (xmlNode* c = N(node_)->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) list.emplace_back(c);
  }
  return list;
}

std::vector<XmlNode> XmlNode::Descendants(const std::wstring& name) const {
  std::vector<XmlNode> list;
  if (node_) CollectDescendants(N(node_), ToUtf8(name), &list);
  return list;
}

XmlDocument::XmlDocument() = default;

XmlDocument::~XmlDocument() {
  if (doc_) xmlFreeDoc(static_cast<xmlDoc*>(doc_));
}

bool XmlDocument::LoadBytes(const std::string& bytes) {
  if (doc_) {
    xmlFreeDoc(static_cast<xmlDoc*>(doc_));
    doc_ = nullptr;
  }
  if (bytes.empty() || bytes.size() > kMaxBytes) return false;
  xmlSetGenericErrorFunc(nullptr, SilentErrors);
  // Blank text between elements carries nothing here; dropping it and
  // keeping short texts inside their nodes halves a big manifest's memory.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                      XML_PARSE_COMPACT;
  xmlDoc* doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                              options);
  if (!doc && DeclaresCodePage936(bytes)) {
    // Tools on Windows declare GB2312 but write code page 936, its superset.
    doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, "CP936",
                        options);
  }
  if (!doc) return false;
  // Manifests never carry a DOCTYPE; refusing it rules out entity tricks.
  if (doc->intSubset || doc->extSubset || !xmlDocGetRootElement(doc)) {
    xmlFreeDoc(doc);
    return false;
  }
  doc_ = doc;
  return true;
}

XmlNode XmlDocument::Root() const {
  return XmlNode(doc_ ? xmlDocGetRootElement(static_cast<xmlDoc*>(doc_)) : nullptr);
}

}  // namespace platform
