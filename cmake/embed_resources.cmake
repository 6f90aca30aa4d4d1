# Writes OUTPUT: a C++ source holding every file of res/ named
# <kind>_<number>.<ext> as a byte array, found by its number.
file(GLOB files "${RES_DIR}/bitmap_*.bmp" "${RES_DIR}/icon_*.ico")
set(arrays "")
set(table "")
foreach(f ${files})
  get_filename_component(name ${f} NAME_WE)
  string(REGEX REPLACE "^[a-z]+_" "" id ${name})
  file(READ ${f} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char k${name}[] = {${bytes}};\n")
  string(APPEND table "    {${id}, k${name}, sizeof(k${name})},\n")
endforeach()
file(WRITE ${OUTPUT} "// Generated from res/ by cmake/embed_resources.cmake.
#include <cstddef>

#include \"platform/resources.h\"

namespace {
${arrays}
struct Entry {
  int id;
  const unsigned char* data;
  size_t size;
};
const Entry kEntries[] = {
${table}};
}  // namespace

namespace platform {

bool FindResourceData(int id, const unsigned char** data, size_t* size) {
  for (const Entry& e : kEntries) {
    if (e.id == id) {
      *data = e.data;
      *size = e.size;
      return true;
    }
  }
  return false;
}

}  // namespace platform
")
