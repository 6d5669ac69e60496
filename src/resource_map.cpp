#include "resource_map.h"

int32_t BuildResourceZebmapFile() { return 1; }
int32_t ReadResourceZebmapFile() { return -2; }
