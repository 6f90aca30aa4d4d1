#pragma once
// The bitmaps and icons of res/, built into the program, by resource number.
#include <cstddef>

namespace platform {

bool FindResourceData(int id, const unsigned char** data, size_t* size);

}  // namespace platform
