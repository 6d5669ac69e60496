// The station runs all day, every day: the ports' folders must not fill the
// disk. Each device's program output (DIR/<port>/NNNNN.out) and each earlier
// run's folder (DIR/<port>/earlier-*) go once they are older than the days
// kept; the record file, which traces the devices, is never touched.
#pragma once

#include <string>
#include <vector>

// Removes from folder (one port's) the device outputs and earlier runs'
// folders last changed more than keep_days ago; anything else in it stays.
// Returns what could not be removed, each with the system's reason (empty
// when all went well or there was nothing to remove).
std::vector<std::string> RemoveOldOutputs(const std::string &folder, double keep_days);
