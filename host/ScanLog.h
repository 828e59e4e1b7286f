// `run --log FILE.csv`: one row per pass over the read blocks, the time and
// then each readable tag's value (? for one not read in that pass).
#pragma once

#include "HostSession.h"

#include <cstdio>
#include <string>

namespace host {

// A field as CSV needs it: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

class ScanLog {
public:
    // Appends to `path`; the header row goes first when the file is empty.
    // False with `error` set when it cannot be opened.
    bool open(const std::string& path, const HostConfig& config, std::string& error);
    ~ScanLog();

    // One row, flushed at once: a crash loses at most the scan under way.
    void row(const HostSession& session);
    long rows() const { return rows_; }

private:
    FILE* file_ = nullptr;
    long rows_ = 0;
};

}  // namespace host
