#pragma once
// The append-only log "UpdateLog.log" beside the executable.
#include <string>

#include "platform/clock.h"

// Appends "YYYY-MM-DD hh:mm:ss text" and CR LF to the file at |log_path|;
// control characters of |text| are written as \xNN.
// One open-append-close per line, so every call leaves a complete file; a
// file that cannot be opened loses the line silently.
void AppendLogLine(const std::wstring& log_path, const std::wstring& text,
                   const platform::LocalTime& when);

// The log beside the running executable.
std::wstring UpdateLogPath();
