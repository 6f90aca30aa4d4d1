#pragma once
// Minimal PE images with a version resource, for tests of the reader.
#include <cstdint>
#include <string>

// A PE32 (|pe64| false) or PE32+ image whose version resource carries the
// given file and product versions (MS and LS words).
std::string BuildPeWithVersion(bool pe64, uint32_t file_ms, uint32_t file_ls, uint32_t product_ms,
                               uint32_t product_ls);
