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

// 0: every candidate gave a complete record; 2: the listing was exhausted but
// at least one candidate was skipped with an error; 1: no resources
// directory; -2: an output could not be created; -4/-5/-6: a record could not
// be written; -7: an output could not be written completely.
int32_t BuildResourceZebmapFile();

// 0: map framed correctly; -2: map cannot be opened; -3: framing error reported.
int32_t ReadResourceZebmapFile();
