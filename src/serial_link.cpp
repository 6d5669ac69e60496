#include "serial_link.h"

#include <libserialport.h>

struct sp_port *port = nullptr;
struct sp_port_config *port_config = nullptr;
