// The record file, where every device's line goes for the line's tracing
// system: opened for appending only, each line written with one call and
// made durable before the next device is taken, never left half written.
// Also the station's name in the records. One file per platform.
#pragma once

#include <memory>
#include <string>

class RecordFile {
public:
    RecordFile();
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    struct Handle;  // the platform's
    std::unique_ptr<Handle> handle;
};

// Opens path for appending, created when missing. 0, or the system's error
// code (SystemErrorText of system_error.h tells it).
int OpenRecordFile(const std::string &path, RecordFile *file);

// Appends line with one write and makes it durable (fsync; FlushFileBuffers).
// A short write is cut back off, so no torn line stays in the file. 0, or
// the system's error code of what failed.
int AppendRecordLine(RecordFile &file, const std::string &line);

// The name of this machine, "" when it has none.
std::string HostName();
