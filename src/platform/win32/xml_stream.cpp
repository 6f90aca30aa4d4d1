// Streaming documents through XmlLite's pull reader: one element at a time,
// never the tree. The bytes are decoded here and handed over as UTF-8 (not
// every component knows code page 936, and UTF-16 handed over in pieces
// trips some readers).
#include "platform/win32/windows_min.h"

#include <objbase.h>
#include <xmllite.h>

#include "platform/file.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "platform/xml_encoding.h"

namespace platform {
namespace {

const IID kIidXmlReader = {0x7279fc81, 0x709d, 0x4095, {0xb6, 0x3d, 0x69, 0xfe, 0x4b, 0x0d, 0x90, 0x30}};
const wchar_t kXmlnsUri[] = L"http://www.w3.org/2000/xmlns/";

enum class Encoding { kUtf8, kCodePage936, kUtf16 };

// How many of |bytes| end on a whole character; the rest waits for the
// next read.
size_t WholeCharacters(const std::string& bytes, Encoding encoding) {
  const size_t n = bytes.size();
  if (encoding == Encoding::kUtf16) {
    // A high surrogate waits for its other half.
    const size_t whole = n & ~size_t{1};
    const bool high = whole >= 2 && (static_cast<unsigned char>(bytes[whole - 1]) & 0xFC) == 0xD8;
    return high ? whole - 2 : whole;
  }
  if (encoding == Encoding::kCodePage936) {
    size_t i = 0;
    while (i < n) i += IsDBCSLeadByteEx(936, static_cast<BYTE>(bytes[i])) ? 2 : 1;
    return i == n ? n : n - 1;
  }
  // UTF-8: a lead byte within the last three whose sequence is not complete.
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const unsigned char c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? n - back : n;
  }
  return n;
}

// The document as UTF-8 with a byte-order mark, its XML declaration left
// out (it names the encoding the bytes had); capped at the streaming limit.
class DecodingStream : public IStream {
 public:
  bool Open(const std::wstring& path) {
    if (!file_.Open(path, File::kRead)) return false;
    if (!Fill()) return false;
    std::string head = raw_;
    if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF &&
        static_cast<unsigned char>(head[1]) == 0xFE) {
      encoding_ = Encoding::kUtf16;
      raw_.erase(0, 2);
    } else {
      encoding_ = DeclaresCodePage936(head) ? Encoding::kCodePage936 : Encoding::kUtf8;
      if (raw_.compare(0, 3, "\xEF\xBB\xBF") == 0) raw_.erase(0, 3);
    }
    if (!Decode()) return false;
    if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) text_.erase(0, 3);
    if (text_.compare(0, 5, "<?xml") == 0) {
      const size_t end = text_.find("?>");
      if (end == std::string::npos) return false;
      text_.erase(0, end + 2);
    }
    // A document blank to its end is refused here: some readers fail an
    // assertion on a stream without a single token. Blanks are kept as one.
    while (text_.find_first_not_of(" \t\r\n") == std::string::npos) {
      if (at_end_) return false;
      if (!text_.empty()) text_ = " ";
      if (!Fill() || !Decode()) return false;
    }
    text_.insert(0, "\xEF\xBB\xBF");
    return true;
  }
  bool failed() const { return failed_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Owned by the reading function, which outlives the reader.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
    ULONG done = 0;
    char* out = static_cast<char*>(buffer);
    while (done < size) {
      const size_t available = text_.size() - offset_;
      if (available == 0) {
        text_.clear();
        offset_ = 0;
        if (at_end_ || !Fill() || !Decode()) break;
        continue;
      }
      size_t n = available < size - done ? available : size - done;
      if (n < available) {
        // Pieces end after a '>' where one can: a token cut between two reads
        // is where readers slip.
        const size_t close = text_.rfind('>', offset_ + n - 1);
        if (close != std::string::npos && close >= offset_) n = close + 1 - offset_;
      }
      memcpy(out + done, text_.data() + offset_, n);
      offset_ += n;
      done += static_cast<ULONG>(n);
      if (offset_ < text_.size()) break;
    }
    if (read) *read = done;
    if (failed_) return E_FAIL;
    return done == 0 ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

 private:
  // Appends the next bytes of the file to raw_.
  bool Fill() {
    char buffer[65536];
    const long n = file_.Read(buffer, sizeof(buffer));
    if (n < 0) return Fail();
    if (n == 0) at_end_ = true;
    total_ += static_cast<uint64_t>(n);
    if (total_ > kMaxStreamedXmlBytes) return Fail();
    raw_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  // Moves the whole characters of raw_ into text_.
  bool Decode() {
    const size_t whole = at_end_ ? raw_.size() : WholeCharacters(raw_, encoding_);
    std::wstring piece;
    if (encoding_ == Encoding::kUtf16) {
      piece.assign(reinterpret_cast<const wchar_t*>(raw_.data()), whole / 2);
    } else if (!DecodeCharset(raw_.substr(0, whole), encoding_ == Encoding::kCodePage936 ? "CP936" : "UTF-8",
                              &piece)) {
      return Fail();
    }
    raw_.erase(0, whole);
    text_ += ToUtf8(piece);
    return true;
  }

  bool Fail() {
    failed_ = true;
    return false;
  }

  File file_;
  Encoding encoding_ = Encoding::kUtf8;
  std::string raw_;   // bytes read, not yet decoded
  std::string text_;  // decoded, not yet handed over from offset_
  size_t offset_ = 0;
  uint64_t total_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
};

using CreateReader = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

CreateReader ReaderFactory() {
  static CreateReader create = [] {
    HMODULE module = LoadLibraryW(L"xmllite.dll");
    return module ? reinterpret_cast<CreateReader>(reinterpret_cast<void*>(GetProcAddress(module, "CreateXmlReader")))
                  : nullptr;
  }();
  return create;
}

std::wstring Value(IXmlReader* reader) {
  const wchar_t* value = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetValue(&value, &length)) || !value) return std::wstring();
  return std::wstring(value, length);
}

std::wstring QualifiedName(IXmlReader* reader) {
  const wchar_t* name = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetQualifiedName(&name, &length)) || !name) return std::wstring();
  return std::wstring(name, length);
}

void ReadAttributes(IXmlReader* reader, XmlElement* element) {
  for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute()) {
    const wchar_t* uri = nullptr;
    if (SUCCEEDED(reader->GetNamespaceUri(&uri, nullptr)) && uri && wcscmp(uri, kXmlnsUri) == 0) continue;
    element->attributes.emplace_back(QualifiedName(reader), Value(reader));
  }
  reader->MoveToElement();
}

struct ReleaseReader {
  void operator()(IXmlReader* reader) const { reader->Release(); }
};

}  // namespace

bool StreamXmlElements(const std::wstring& path, const std::wstring& name, XmlParts parts,
                       const std::function<bool(const XmlElement&)>& visit) {
  const bool with_children = parts == XmlParts::kAttributesAndChildren;
  DecodingStream stream;
  CreateReader create = ReaderFactory();
  if (!create || !stream.Open(path)) return false;
  IXmlReader* raw = nullptr;
  if (FAILED(create(kIidXmlReader, reinterpret_cast<void**>(&raw), nullptr)) || !raw) return false;
  std::unique_ptr<IXmlReader, ReleaseReader> reader(raw);
  // Manifests never carry a DOCTYPE; refusing it rules out entity tricks.
  reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  if (FAILED(reader->SetInput(static_cast<IStream*>(&stream)))) return false;

  XmlElement element;
  UINT element_depth = 0;
  bool collecting = false;
  bool root_seen = false;
  // Depths are counted here: readers disagree on an end element's depth.
  UINT open_elements = 0;
  XmlNodeType type;
  HRESULT hr;
  while ((hr = reader->Read(&type)) == S_OK) {
    if (type == XmlNodeType_DocumentType) return false;
    UINT depth = open_elements;
    const bool empty = type == XmlNodeType_Element && reader->IsEmptyElement();
    if (type == XmlNodeType_Element) {
      root_seen = true;
      if (!empty) ++open_elements;
    } else if (type == XmlNodeType_EndElement) {
      if (open_elements == 0) return false;
      depth = --open_elements;
    }
    if (!collecting) {
      if (type != XmlNodeType_Element || depth < 1 || QualifiedName(reader.get()) != name) continue;
      element = XmlElement();
      element.name = name;
      ReadAttributes(reader.get(), &element);
      if (!empty) {
        collecting = true;
        element_depth = depth;
      } else if (!visit(element)) {
        return true;
      }
      continue;
    }
    if (!with_children) {
      if (type == XmlNodeType_EndElement && depth == element_depth) {
        collecting = false;
        if (!visit(element)) return true;
      }
    } else if (type == XmlNodeType_Element && depth == element_depth + 1) {
      element.children.emplace_back(QualifiedName(reader.get()), std::wstring());
    } else if ((type == XmlNodeType_Text || type == XmlNodeType_CDATA) && depth > element_depth + 1 &&
               !element.children.empty()) {
      element.children.back().second += Value(reader.get());
    } else if (type == XmlNodeType_EndElement && depth == element_depth) {
      collecting = false;
      if (!visit(element)) return true;
    }
  }
  return hr == S_FALSE && root_seen && !stream.failed();
}

}  // namespace platform
