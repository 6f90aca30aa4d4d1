// Streaming documents through libxml2's reader: one element at a time,
// never the tree.
#include <libxml/xmlreader.h>

#include "platform/file.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "platform/xml_encoding.h"

namespace platform {
namespace {

struct Source {
  File file;
  uint64_t read = 0;
  bool failed = false;  // a read error, or past the size cap
};

int ReadSource(void* context, char* buffer, int size) {
  auto* source = static_cast<Source*>(context);
  const long n = source->file.Read(buffer, static_cast<size_t>(size));
  if (n < 0) {
    source->failed = true;
    return -1;
  }
  source->read += static_cast<uint64_t>(n);
  if (source->read > kMaxStreamedXmlBytes) {
    source->failed = true;
    return -1;
  }
  return static_cast<int>(n);
}

int CloseSource(void*) { return 0; }

void SilentErrors(void*, const char*, ...) {}

std::wstring Wide(const xmlChar* utf8) {
  return utf8 ? FromUtf8(reinterpret_cast<const char*>(utf8)) : std::wstring();
}

bool IsText(int type) {
  return type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
         type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE;
}

void ReadAttributes(xmlTextReaderPtr reader, XmlElement* element) {
  while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
    if (xmlTextReaderIsNamespaceDecl(reader) == 1) continue;
    element->attributes.emplace_back(Wide(xmlTextReaderConstLocalName(reader)),
                                     Wide(xmlTextReaderConstValue(reader)));
  }
  xmlTextReaderMoveToElement(reader);
}

struct ReaderDeleter {
  void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};

}  // namespace

bool StreamXmlElements(const std::wstring& path, const std::wstring& name, XmlParts parts,
                       const std::function<bool(const XmlElement&)>& visit) {
  const bool with_children = parts == XmlParts::kAttributesAndChildren;
  Source source;
  if (!source.file.Open(path, File::kRead)) return false;
  char head[200];
  const long got = source.file.Read(head, sizeof(head));
  if (got <= 0 || !source.file.Seek(0)) return false;
  const char* encoding = DeclaresCodePage936(std::string(head, static_cast<size_t>(got))) ? "CP936" : nullptr;

  xmlSetGenericErrorFunc(nullptr, SilentErrors);
  // The declaration's name is not taken over the superset chosen above.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                      (encoding ? XML_PARSE_IGNORE_ENC : 0);
  std::unique_ptr<xmlTextReader, ReaderDeleter> reader(
      xmlReaderForIO(ReadSource, CloseSource, &source, nullptr, encoding, options));
  if (!reader) return false;

  // Elements match by their local name, as the tree reader's names are.
  const std::string wanted = ToUtf8(name);
  XmlElement element;
  int element_depth = -1;  // depth of the element being collected, -1: none
  bool root_seen = false;
  int status;
  while ((status = xmlTextReaderRead(reader.get())) == 1) {
    const int type = xmlTextReaderNodeType(reader.get());
    // Manifests never carry a DOCTYPE; refusing it rules out entity tricks.
    if (type == XML_READER_TYPE_DOCUMENT_TYPE) return false;
    const int depth = xmlTextReaderDepth(reader.get());
    if (type == XML_READER_TYPE_ELEMENT) root_seen = true;
    if (element_depth < 0) {
      if (type != XML_READER_TYPE_ELEMENT || depth < 1 ||
          wanted != reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader.get()))) {
        continue;
      }
      element = XmlElement();
      element.name = name;
      ReadAttributes(reader.get(), &element);
      if (xmlTextReaderIsEmptyElement(reader.get()) != 1) {
        element_depth = depth;
      } else if (!visit(element)) {
        return true;
      }
      continue;
    }
    if (!with_children) {
      if (type == XML_READER_TYPE_END_ELEMENT && depth == element_depth) {
        element_depth = -1;
        if (!visit(element)) return true;
      }
    } else if (type == XML_READER_TYPE_ELEMENT && depth == element_depth + 1) {
      element.children.emplace_back(Wide(xmlTextReaderConstLocalName(reader.get())), std::wstring());
    } else if (IsText(type) && depth > element_depth + 1 && !element.children.empty()) {
      element.children.back().second += Wide(xmlTextReaderConstValue(reader.get()));
    } else if (type == XML_READER_TYPE_END_ELEMENT && depth == element_depth) {
      element_depth = -1;
      if (!visit(element)) return true;
    }
  }
  return status == 0 && root_seen && !source.failed;
}

}  // namespace platform
