// Windows has no notify protocol: its service control manager would need a
// service of its own (the station runs in a console).
#include "service_notify.h"

void ServiceReady() {}
void ServiceAlive(const std::string &) {}
void ServiceStopping() {}
