// The text of an errno value, safe to call from any thread.
#pragma once

#include <string.h>

namespace posix {

// strerror may share one buffer between threads; glibc's descriptions are
// constant strings.
inline const char* ErrorText(int error) {
    const char* text = strerrordesc_np(error);
    return text ? text : "unknown error";
}

}  // namespace posix
