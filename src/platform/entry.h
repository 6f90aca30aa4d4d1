#pragma once
// The program's own entry, called by the platform's entry point with the
// command line less the program name.
#include <string>

int UpdaterMain(const std::wstring& commandLine);
