/* A stand-in for the game lobby: records that it was started, and where. */
#include <stdio.h>
#include <windows.h>

int main(void) {
  char dir[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, dir);
  FILE* f = fopen("lobby-started.txt", "a");
  if (f) {
    fprintf(f, "kelvora.exe started in %s\n", dir);
    fclose(f);
  }
  return 0;
}
