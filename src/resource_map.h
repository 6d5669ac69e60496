// The resource map file: its builder (resources/ -> zebmap.map + zebmap.c)
// and its checker, which reads the map back and reports every record.
#pragma once

#include <cstdint>

struct resource_image_t {
    int32_t width;
    int32_t height;
    int32_t type;  // carried for the firmware's layout; the snippet always says ARGB4
    int32_t stride;
    int32_t size;
};

// What a build did, for the summary a person at a terminal sees; the build's
// own report and result do not depend on it.
struct BuildStats {
    bool listing_read = false;  // resources/ was opened and listed
    int32_t packed = 0;         // candidates that gave a complete record
    int32_t skipped = 0;        // candidates skipped with an error
};

// 0: every candidate gave a complete record; 2: the listing was exhausted but
// at least one candidate was skipped with an error; 1: no resources
// directory; -2: an output could not be created; -4/-5/-6: a record could not
// be written; -7: an output could not be written completely.
// The listing is taken in name order (ListingNameBefore), so the same
// resources give the same blocks whatever the file system lists first.
int32_t BuildResourceZebmapFile(BuildStats *stats = nullptr);

// The order of a directory listing: "." and ".." first, then the names byte
// by byte with the ASCII letters folded to upper case; names equal when
// folded are ordered by their own bytes. True when a comes before b.
bool ListingNameBefore(const char *a, const char *b);

// 0: map framed correctly; -2: map cannot be opened; -3: framing error reported.
int32_t ReadResourceZebmapFile();
