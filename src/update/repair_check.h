#pragma once
// Whether an installed file is what its manifest entry says, for the
// repair mode: its length, then its SHA-256 (its MD5 where the entry has
// none), reading the file once.
#include "platform/disk.h"

class CUpdateFile;

// False when the file is missing, unreadable, of another length, or of
// another digest.
bool InstalledFileMatches(platform::Disk& disk, const CUpdateFile& entry);
