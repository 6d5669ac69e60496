// An in-memory stand-in for the Win32 calls the Windows serial link makes
// on its port: CreateFileA, GetCommState, SetCommState, SetCommTimeouts,
// PurgeComm, WriteFile, FlushFileBuffers, ReadFile and CloseHandle. The
// link is compiled to call them directly (not through the DLL's import
// table) and linked with --wrap, so only the link's calls come here; the C
// runtime and GoogleTest keep the real ones.
//
// It covers what Wine cannot show on a pseudo-terminal: Wine lets a second
// open of a COM port succeed, where Windows refuses it. Every call is
// recorded; each can be made to fail with a chosen error code.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

namespace win32standin {

struct Port {
    // Scripted failures: 0 lets the call succeed, any other value makes it
    // fail with that code as the last error.
    DWORD open_error = 0;
    DWORD get_state_error = 0;
    DWORD set_state_error = 0;
    DWORD set_timeouts_error = 0;
    DWORD purge_error = 0;
    DWORD write_error = 0;
    bool write_nothing = false;  // WriteFile succeeds with no byte written (its time-out)
    DWORD read_error = 0;

    // What the link did.
    std::vector<std::string> calls;  // names in order; PurgeComm with its flags, e.g. "PurgeComm 8"
    std::string opened_path;
    DWORD share_mode = 0xFFFFFFFF;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    std::vector<unsigned char> written;
    int open_handles = 0;

    // Bytes the device sent, handed out by ReadFile.
    std::deque<unsigned char> to_read;
};

// The port the stand-in plays, reset to its defaults.
Port &Reset();
Port &Current();

// How many times name was called.
int Count(const std::string &name);

}  // namespace win32standin
