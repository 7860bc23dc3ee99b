#pragma once

#include "records/Record.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace lorvex::test {

// What a writer of `format` writes when `body` has had it, finished.
inline std::string Written(records::Format format,
                           const std::function<void(records::RecordWriter&)>& body,
                           bool driveHeadings = false) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* memory = open_memstream(&text, &size);
    {
        records::Output out(memory);
        auto writer = records::MakeWriter(format, out, driveHeadings);
        body(*writer);
        writer->Finish();
    }
    std::fclose(memory);
    std::string result(text, size);
    std::free(text);
    return result;
}

} // namespace lorvex::test
