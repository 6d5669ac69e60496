// The record file on Windows: FILE_APPEND_DATA alone, so that every
// WriteFile lands at the end of the file whoever else appends, and
// FlushFileBuffers after each line.
#include <windows.h>

#include "record_file.h"

struct RecordFile::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    ~Handle() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

RecordFile::RecordFile() : handle(std::make_unique<Handle>()) {}
RecordFile::~RecordFile() = default;

namespace {

// A disk that filled up in the middle of the line: the part is cut off
// again, through a handle that may set the end (the appending one cannot).
void CutBackTo(const std::string &path, LARGE_INTEGER size) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    CloseHandle(file);
}

}  // namespace

int OpenRecordFile(const std::string &path, RecordFile *file) {
    // Others may read the records meanwhile, and append their own.
    const HANDLE opened = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    file->handle->file = opened;
    file->handle->path = path;
    return 0;
}

int AppendRecordLine(RecordFile &file, const std::string &line) {
    const HANDLE out = file.handle->file;
    LARGE_INTEGER before{};
    const bool on_disk = GetFileType(out) == FILE_TYPE_DISK && GetFileSizeEx(out, &before);
    DWORD written = 0;
    if (!WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        const DWORD error = GetLastError();
        if (on_disk && written > 0) CutBackTo(file.handle->path, before);
        return static_cast<int>(error);
    }
    if (written != line.size()) {
        if (on_disk) CutBackTo(file.handle->path, before);
        return ERROR_DISK_FULL;
    }
    // A pipe or a console cannot be flushed to a disk; the line has reached
    // its reader anyway.
    if (!FlushFileBuffers(out) && on_disk) return static_cast<int>(GetLastError());
    return 0;
}

// The DNS host name, as gethostname gives it on Linux (the NetBIOS name
// would be in capitals).
std::string HostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    return GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? std::string(name, size) : std::string();
}
