// Test set-ups Windows has no counterpart of: FIFOs, and symbolic links to
// devices such as /dev/full. The cases that make them are left out of the
// Windows run (PARDULO_LINUX_ONLY_CASES in CMakeLists.txt); these stand-ins
// only let their files compile, and fail such a case if it runs anyway.
#pragma once

#include <cerrno>

inline int mkfifo(const char * /*path*/, int /*mode*/) {
    errno = ENOSYS;
    return -1;
}

inline int symlink(const char * /*target*/, const char * /*path*/) {
    errno = ENOSYS;
    return -1;
}
