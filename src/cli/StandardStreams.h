#pragma once

#include "platform/WriteTarget.h"

#include <functional>
#include <string>

// Standard output and error, as lorvex-scan checks and closes them.
namespace lorvex::cli {

// The write check of a name, against what is protected at the time.
using WriteCheck = std::function<platform::WriteTarget(const std::string&)>;

// Standard output and error were opened by whoever started us, and may be a
// source or lie on one (`>> image`, `1<> image`): each is checked as an
// output file is, by `check`, before a word goes to it. Standard error
// always; standard output when `outputUse` names what would be written
// there. A stream refused is never written to (standard error is pointed at
// the null device, so that nothing reaches it later either); the refusal is
// said on the other stream where that one may be written, with `outputHint`
// (how else to write it) when given. Returns false then.
bool StandardStreamsClear(const WriteCheck& check, const char* outputUse, const char* outputHint);

// Says that a write to standard output failed, as every such failure is
// said, and that it has been said.
void ReportStandardOutputFailure(int error);

// Every write to standard output is checked here, once at the end: a write
// that failed leaves the stream's error flag set, and the last of the buffer
// goes out (or fails) when the stream is closed. A full disk or a closed pipe
// must not pass for a finished listing. Returns the exit status.
int FinishOutput(int status);

} // namespace lorvex::cli
