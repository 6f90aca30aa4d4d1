#pragma once
// The publisher's install-config command: an installation's UpdateTemp.ini
// with its servers, and optionally its recorded version and home page.
#include <string>
#include <vector>

struct InstallConfig {
  std::wstring dir;                   // the installation, where the updater runs
  std::vector<std::wstring> servers;  // Temp1 onwards, one to eight
  std::wstring version;               // empty: the recorded version stays
  std::wstring home;                  // empty: the recorded home page stays
};

// Writes |config| into dir/UpdateTemp.ini as the updater reads it: every
// value is checked first (nothing is written when one is refused), long
// addresses are stored scrambled, servers beyond the list are cleared, and
// other values stay. Returns false with |error| set, also when the file
// does not read back as meant.
bool WriteInstallConfig(const InstallConfig& config, std::wstring* error);
