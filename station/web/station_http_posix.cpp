// The web side's listener on Linux.
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "station_http_platform.h"

void SetListenerOptions(socket_t sock) {
    // SO_REUSEADDR lets a restarted station bind while connections of the
    // one before wait out TIME_WAIT; without SO_REUSEPORT, which the
    // library's default would set: with it a second station would share
    // the address instead of being refused.
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// The accept waits for a connection or the listener's shutdown: nothing to set.
void SetServerOptions(httplib::Server &) {}

std::string AddressErrorText(int status) { return gai_strerror(status); }

void ClearSocketError() { errno = 0; }

std::string SocketErrorText() { return errno != 0 ? strerror(errno) : ""; }
