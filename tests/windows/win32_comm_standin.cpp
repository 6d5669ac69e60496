#include "win32_comm_standin.h"

#include <algorithm>

namespace win32standin {
namespace {

Port port;
HANDLE const kHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5EA1));

// Records the call; false (with the last error set) when it is scripted to fail.
bool Enter(const std::string &name, DWORD error) {
    port.calls.push_back(name);
    if (error == 0) return true;
    SetLastError(error);
    return false;
}

}  // namespace

Port &Reset() {
    port = Port();
    return port;
}

Port &Current() { return port; }

int Count(const std::string &name) {
    return static_cast<int>(std::count_if(port.calls.begin(), port.calls.end(), [&](const std::string &call) {
        return call.compare(0, name.size(), name) == 0;
    }));
}

}  // namespace win32standin

using win32standin::Enter;
using win32standin::kHandle;
using win32standin::port;

extern "C" {

HANDLE WINAPI __wrap_CreateFileA(LPCSTR path, DWORD, DWORD share, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    port.opened_path = path;
    port.share_mode = share;
    if (!Enter("CreateFileA", port.open_error)) return INVALID_HANDLE_VALUE;
    ++port.open_handles;
    return kHandle;
}

WINBOOL WINAPI __wrap_GetCommState(HANDLE, LPDCB dcb) {
    if (!Enter("GetCommState", port.get_state_error)) return FALSE;
    *dcb = port.dcb;
    return TRUE;
}

WINBOOL WINAPI __wrap_SetCommState(HANDLE, LPDCB dcb) {
    if (!Enter("SetCommState", port.set_state_error)) return FALSE;
    port.dcb = *dcb;
    return TRUE;
}

WINBOOL WINAPI __wrap_SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    if (!Enter("SetCommTimeouts", port.set_timeouts_error)) return FALSE;
    port.timeouts = *timeouts;
    return TRUE;
}

WINBOOL WINAPI __wrap_PurgeComm(HANDLE, DWORD flags) {
    if (!Enter("PurgeComm " + std::to_string(flags), port.purge_error)) return FALSE;
    if ((flags & PURGE_RXCLEAR) != 0) port.to_read.clear();
    return TRUE;
}

WINBOOL WINAPI __wrap_WriteFile(HANDLE, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    if (!Enter("WriteFile", port.write_error)) return FALSE;
    if (port.write_nothing) return TRUE;
    const auto *bytes = static_cast<const unsigned char *>(data);
    port.written.insert(port.written.end(), bytes, bytes + size);
    *written = size;
    return TRUE;
}

WINBOOL WINAPI __wrap_FlushFileBuffers(HANDLE) { return Enter("FlushFileBuffers", 0) ? TRUE : FALSE; }

WINBOOL WINAPI __wrap_ReadFile(HANDLE, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    if (!Enter("ReadFile", port.read_error)) return FALSE;
    if (port.to_read.empty()) Sleep(1);  // the link's read time-out
    auto *bytes = static_cast<unsigned char *>(data);
    while (*got < size && !port.to_read.empty()) {
        bytes[(*got)++] = port.to_read.front();
        port.to_read.pop_front();
    }
    return TRUE;
}

WINBOOL WINAPI __wrap_CloseHandle(HANDLE) {
    port.calls.push_back("CloseHandle");
    --port.open_handles;
    return TRUE;
}

}  // extern "C"
