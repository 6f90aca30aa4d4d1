#pragma once
// The delta benchmark's runs through nginx on 127.0.0.1.
#include <string>

// Turns |v1| into |v2| with the updater, zsync and casync, each served by
// nginx, and prints bytes fetched, requests and wall time of each, with
// rsync's literal data for the same pair.
void EndToEnd(const char* title, const std::string& v1, const std::string& v2);
// Repairs a 1 GiB install with three damaged chunks and compares the time
// with sha256sum over the same files.
void RepairBench();
