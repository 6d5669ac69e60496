#include "temp_dir.h"
