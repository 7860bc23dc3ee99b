#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lorvex::platform {

// Every libyal error type is an opaque intptr_t, so one template serves the
// container libraries: the library's text of `error`, which it then frees.
template <int (*Sprint)(intptr_t*, char*, std::size_t), void (*Free)(intptr_t**)>
std::string TakeLibyalError(intptr_t*& error) {
    if (error == nullptr) {
        return "unknown error";
    }
    std::string text(4096, '\0');
    const int n = Sprint(error, text.data(), text.size());
    Free(&error);
    error = nullptr;
    text.resize(n > 0 ? std::min(static_cast<std::size_t>(n), text.size()) : 0);
    // The count may take in the terminating NUL, which would cut short any
    // text put after this one.
    text.resize(std::min(text.size(), text.find('\0')));
    // The library stacks one line per function it went through, the first
    // the deepest; that one names the cause ("no such file", "invalid
    // signature"), the rest say only "unable to open" again and again.
    const auto end = text.find('\n');
    std::string cause = text.substr(0, end);
    // "libbfio_file_open: ..." names a function of the library: drop it.
    if (const auto colon = cause.find(": ");
        colon != std::string::npos && cause.find(' ') > colon && cause.compare(0, 3, "lib") == 0) {
        cause.erase(0, colon + 2);
    }
    while (!cause.empty() && (cause.back() == '.' || cause.back() == ' ')) {
        cause.pop_back();
    }
    return cause.empty() ? "unknown error" : cause;
}

} // namespace lorvex::platform
