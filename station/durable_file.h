// Small files that must survive a crash or a power cut whole or not at all:
// the upload journal and a fixture's last device number. One file per
// platform.
#pragma once

#include <string>

// Puts bytes into folder/name as one whole: written aside (name + ".tmp"),
// flushed to the disk, renamed over name, and the rename made durable too
// (the folder synced; MOVEFILE_WRITE_THROUGH on Windows). A reader, or the
// station after a crash, sees the old file or the new one, never a part.
// 0, or the system's error code (SystemErrorText).
int ReplaceFileDurably(const std::string &folder, const std::string &name, const std::string &bytes);

// Removes folder/name and makes the removal durable. A file already gone
// is no error. 0, or the system's error code.
int RemoveFileDurably(const std::string &folder, const std::string &name);
