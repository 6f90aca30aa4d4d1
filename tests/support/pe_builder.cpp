#include "support/pe_builder.h"

#include <cstring>

namespace {

void Put16(std::string* b, size_t at, uint32_t v) {
  if (b->size() < at + 2) b->resize(at + 2);
  (*b)[at] = static_cast<char>(v);
  (*b)[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string* b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

}  // namespace

std::string BuildPeWithVersion(bool pe64, uint32_t file_ms, uint32_t file_ls, uint32_t product_ms,
                               uint32_t product_ls) {
  std::string b(0x200, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  Put32(&b, 0x3C, 0x40);
  memcpy(&b[0x40], "PE\0\0", 4);
  const size_t coff = 0x44, optional = 0x58;
  const uint32_t optional_size = pe64 ? 240 : 224;
  Put16(&b, coff, pe64 ? 0x8664 : 0x14C);
  Put16(&b, coff + 2, 1);  // sections
  Put16(&b, coff + 16, optional_size);
  Put16(&b, optional, pe64 ? 0x20B : 0x10B);
  const size_t dirs = optional + (pe64 ? 112 : 96);
  Put32(&b, dirs - 4, 16);             // NumberOfRvaAndSizes
  Put32(&b, dirs + 2 * 8, 0x1000);     // resource directory RVA
  Put32(&b, dirs + 2 * 8 + 4, 0x100);  // and size
  const size_t section = optional + optional_size;
  memcpy(&b[section], ".rsrc\0\0\0", 8);
  Put32(&b, section + 8, 0x100);    // VirtualSize
  Put32(&b, section + 12, 0x1000);  // VirtualAddress
  Put32(&b, section + 16, 0x100);   // SizeOfRawData
  Put32(&b, section + 20, 0x200);   // PointerToRawData

  const size_t r = 0x200;
  b.resize(r + 0x100, '\0');
  // Type 16 -> name 1 -> language 0x409 -> data entry.
  Put16(&b, r + 14, 1);
  Put32(&b, r + 16, 16);
  Put32(&b, r + 20, 0x80000000u | 0x18);
  Put16(&b, r + 0x18 + 14, 1);
  Put32(&b, r + 0x18 + 16, 1);
  Put32(&b, r + 0x18 + 20, 0x80000000u | 0x30);
  Put16(&b, r + 0x30 + 14, 1);
  Put32(&b, r + 0x30 + 16, 0x409);
  Put32(&b, r + 0x30 + 20, 0x48);
  Put32(&b, r + 0x48, 0x1000 + 0x58);  // data RVA
  Put32(&b, r + 0x48 + 4, 92);         // data size
  const size_t v = r + 0x58;
  Put16(&b, v, 92);
  Put16(&b, v + 2, 52);
  const char key[] = "VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof(key); ++i) Put16(&b, v + 6 + 2 * i, static_cast<unsigned char>(key[i]));
  const size_t fixed = v + 40;
  Put32(&b, fixed, 0xFEEF04BD);
  Put32(&b, fixed + 4, 0x10000);
  Put32(&b, fixed + 8, file_ms);
  Put32(&b, fixed + 12, file_ls);
  Put32(&b, fixed + 16, product_ms);
  Put32(&b, fixed + 20, product_ls);
  return b;
}
