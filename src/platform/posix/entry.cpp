#include <string>

#include "platform/entry.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  std::wstring command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += L' ';
    command_line += platform::FromAnsi(argv[i]);
  }
  return UpdaterMain(command_line);
}
