// Windows has no folder to sync: MOVEFILE_WRITE_THROUGH returns only once
// the rename is on the disk, and FlushFileBuffers does so for the bytes.
#include <windows.h>

#include "durable_file.h"

int ReplaceFileDurably(const std::string &folder, const std::string &name, const std::string &bytes) {
    const std::string path = folder + "\\" + name;
    const std::string aside = path + ".tmp";
    const HANDLE file =
        CreateFileA(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    DWORD written = 0;
    DWORD err = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        err = GetLastError();
    } else if (written != bytes.size()) {
        err = ERROR_DISK_FULL;
    } else if (!FlushFileBuffers(file)) {
        err = GetLastError();
    }
    CloseHandle(file);
    if (err == 0 && !MoveFileExA(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = GetLastError();
    }
    if (err != 0) DeleteFileA(aside.c_str());
    return static_cast<int>(err);
}

int RemoveFileDurably(const std::string &folder, const std::string &name) {
    const std::string path = folder + "\\" + name;
    if (DeleteFileA(path.c_str())) return 0;
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : static_cast<int>(err);
}
