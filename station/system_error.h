// The system's own text for one of its error codes (errno; GetLastError on
// Windows), as the station's messages quote it. Defined in the process
// layer's platform file (child_process_*.cpp).
#pragma once

#include <string>

std::string SystemErrorText(int code);
