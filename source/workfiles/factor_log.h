// factors.txt: every factor recorded exactly once, and on disk before the
// search moves past it.
#pragma once

#include <string>

enum FactorLogResult {
    FACTOR_APPENDED,          // stamped record appended and flushed to disk
    FACTOR_ALREADY_RECORDED,  // factors.txt already holds this line, whatever its stamp; flushed now
    FACTOR_NOT_RECORDED       // reason says why; factors.txt has no new record
};

// Appends the stamped record line (the announcement text, newline included)
// to factors.txt unless the file already holds that line.
FactorLogResult RecordFactorLine(const char* line, std::string* reason);
