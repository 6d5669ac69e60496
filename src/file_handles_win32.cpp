// The input opener and the output creator on Windows. There are no FIFOs by
// plain names there, but a name such as CON, NUL or COM1 opens a device in
// any folder: inputs are held to regular files, checked on the open file.
// The C runtime's text mode (a mode without "b") gives the host's CRLF line
// ends; binary files are read and written byte for byte.
#include "file_handles.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstring>

namespace {

int TranslationFlag(const char *mode) { return strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT; }

}  // namespace

FilePtr OpenRegularFile(const char *path, const char *mode) {
    const int fd = _open(path, _O_RDONLY | _O_NOINHERIT | TranslationFlag(mode));
    if (fd < 0) return nullptr;
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        _close(fd);
        return nullptr;
    }
    FILE *file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return FilePtr(file);
}

FilePtr CreateOutputFile(const char *path, const char *mode) {
    const int fd = _open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_NOINHERIT | TranslationFlag(mode),
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE *file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return FilePtr(file);
}
