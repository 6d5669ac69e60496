// What the build warns a developer of: things that leave the map and the
// snippet as the build's report says, but not as the firmware or the device
// will want them. Warnings go to standard error, whether or not it is a
// terminal (standard output is the build's report, which tooling reads),
// one line each beginning "warning: "; they change neither the outputs nor
// the build's status.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "resource_map.h"

// The warnings of one resource whose header file was read: a name the
// snippet cannot declare in C (not an identifier, or declared already by an
// earlier resource, as declared records), a format other than ARGB4 (the
// snippet says ARGB4 whatever the header says), a geometry the data cannot
// have (a stride below 2 x width, a size other than stride x height).
std::vector<std::string> ResourceWarnings(const std::string &header_path, const std::string &resource_name,
                                          const ResourceHeader &header,
                                          std::map<std::string, std::string> *declared);

// A candidate skipped: the block it leaves without a record. declared: its
// snippet block was written all the same.
std::string SkippedResourceWarning(const std::string &header_path, int32_t block, bool declared);

// A map whose blocks are not 1, 2, ... without a gap (missing, as
// MissingMapBlocks gives them), named map_name: what that means.
std::string MapGapText(const std::string &map_name, const std::vector<BlockRun> &missing);

// resources/ could not be opened (error: errno of the attempt) in the folder
// working_directory: where the build looked and what it looks for there. A
// developer who ran it in the wrong folder sees only the report's one line
// on standard output otherwise.
std::string MissingResourcesText(const std::string &working_directory, int error);

// Writes "warning: " and the text as one line on standard error.
void PrintWarning(const std::string &text);

// Writes "hint: " and the text as one line on standard error.
void PrintHint(const std::string &text);
