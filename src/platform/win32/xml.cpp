#include "platform/xml.h"

#include "platform/win32/windows_min.h"

#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "platform/xml_encoding.h"

namespace platform {
namespace {

const CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidDomElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Every interface handed out while a document is open; released with it.
struct DocState {
  IXMLDOMDocument* doc = nullptr;
  std::vector<IUnknown*> arena;
  DocState* previous = nullptr;
};
DocState* g_current = nullptr;

template <typename T>
T* Keep(T* p) {
  if (p && g_current) g_current->arena.push_back(p);
  return p;
}

IXMLDOMNode* N(void* p) { return static_cast<IXMLDOMNode*>(p); }

std::wstring Take(BSTR b) {
  std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

std::vector<XmlNode> Items(IXMLDOMNodeList* list, bool elements_only) {
  std::vector<XmlNode> out;
  long length = 0;
  if (!list || FAILED(list->get_length(&length))) return out;
  for (long i = 0; i < length; ++i) {
    IXMLDOMNode* node = nullptr;
    if (FAILED(list->get_item(i, &node)) || !node) continue;
    Keep(node);
    DOMNodeType type;
    if (!elements_only || (SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT)) out.emplace_back(node);
  }
  return out;
}

}  // namespace

std::wstring XmlNode::Name() const {
  BSTR name = nullptr;
  if (!node_ || FAILED(N(node_)->get_nodeName(&name))) return std::wstring();
  return Take(name);
}

std::wstring XmlNode::Text() const {
  BSTR text = nullptr;
  if (!node_ || FAILED(N(node_)->get_text(&text))) return std::wstring();
  return Take(text);
}

std::vector<std::pair<std::wstring, std::wstring>> XmlNode::Attributes() const {
  std::vector<std::pair<std::wstring, std::wstring>> out;
  IXMLDOMNamedNodeMap* map = nullptr;
  if (!node_ || FAILED(N(node_)->get_attributes(&map)) || !Keep(map)) return out;
  IXMLDOMNode* attribute = nullptr;
  while (map->nextNode(&attribute) == S_OK && attribute) {
    Keep(attribute);
    XmlNode a(attribute);
    out.emplace_back(a.Name(), a.Text());
  }
  return out;
}

std::vector<XmlNode> XmlNode::Children() const {
  IXMLDOMNodeList* list = nullptr;
  if (!node_ || FAILED(N(node_)->get_childNodes(&list))) return {};
  return Items(Keep(list), true);
}

std::vector<XmlNode> XmlNode::Descendants(const std::wstring& name) const {
  IXMLDOMElement* element = nullptr;
  if (!node_ || FAILED(N(node_)->QueryInterface(kIidDomElement, reinterpret_cast<void**>(&element)))) return {};
  Keep(element);
  BSTR tag = SysAllocString(name.c_str());
  IXMLDOMNodeList* list = nullptr;
  HRESULT hr = element->getElementsByTagName(tag, &list);
  SysFreeString(tag);
  if (FAILED(hr)) return {};
  return Items(Keep(list), false);
}

XmlDocument::XmlDocument() {
  auto* state = new DocState;
  state->previous = g_current;
  g_current = state;
  doc_ = state;
}

XmlDocument::~XmlDocument() {
  auto* state = static_cast<DocState*>(doc_);
  for (auto it = state->arena.rbegin(); it != state->arena.rend(); ++it) (*it)->Release();
  if (state->doc) state->doc->Release();
  if (g_current == state) g_current = state->previous;
  delete state;
}

bool XmlDocument::LoadBytes(const std::string& bytes) {
  auto* state = static_cast<DocState*>(doc_);
  if (bytes.empty() || bytes.size() > kMaxBytes) return false;
  // The text is decoded here and handed over as a string: not every DOM
  // component knows GB2312 (code page 936 covers it).
  std::wstring text;
  
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  } else if (!DecodeCharset(bytes, DeclaresCodePage936(bytes) ? "CP936" : "UTF-8", &text)) {
    return false;
  }
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  if (text.compare(0, 5, L"<?xml") == 0) {
    size_t end = text.find(L"?>");
    if (end == std::wstring::npos) return false;
    text.erase(0, end + 2);
  }
  // Manifests never carry a DOCTYPE; refusing it rules out entity tricks.
  if (text.find(L"<!DOCTYPE") != std::wstring::npos) return false;
  if (!state->doc &&
      FAILED(CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIidDomDocument,
                              reinterpret_cast<void**>(&state->doc)))) {
    state->doc = nullptr;
    return false;
  }
  state->doc->put_async(VARIANT_FALSE);
  state->doc->put_validateOnParse(VARIANT_FALSE);
  state->doc->put_resolveExternals(VARIANT_FALSE);
  BSTR source = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = state->doc->loadXML(source, &ok);
  SysFreeString(source);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE && Root().valid();
}

XmlNode XmlDocument::Root() const {
  auto* state = static_cast<DocState*>(doc_);
  IXMLDOMElement* root = nullptr;
  if (!state->doc || FAILED(state->doc->get_documentElement(&root)) || !root) return XmlNode();
  DocState* saved = g_current;
  g_current = state;
  Keep(root);
  g_current = saved;
  return XmlNode(root);
}

}  // namespace platform
