// The web side's listener on Windows, where socket errors are Winsock's own
// (WSAGetLastError), not errno.
#include "station_http_platform.h"

#include "system_error.h"

void SetListenerOptions(socket_t sock) {
    // SO_EXCLUSIVEADDRUSE: no other socket may bind the address while this
    // one holds it, not even one that asks with SO_REUSEADDR (which Windows
    // would otherwise grant, and the two would share the connections).
    BOOL yes = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes), sizeof yes);
}

std::vector<std::string> MachineAddresses(bool) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return {};
    return {name};
}

void SetServerOptions(httplib::Server &server) {
    // The library's accept loop looks every 10 ms on Windows whether it has
    // been stopped: a hundred wake-ups a second all day long. Ten are
    // enough; a stop takes at most a tenth of a second longer.
    server.set_idle_interval(0, 100000);
}

// getaddrinfo's status is a Winsock error code.
std::string AddressErrorText(int status) { return SystemErrorText(status); }

void ClearSocketError() { WSASetLastError(0); }

std::string SocketErrorText() {
    // What a bind can meet, in the words the station uses on Linux too; the
    // system's own text for the rest.
    switch (const int code = WSAGetLastError()) {
        case 0: return "";
        case WSAEADDRINUSE: return "Address already in use";
        case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
        case WSAEACCES: return "Permission denied";
        default: return SystemErrorText(code);
    }
}
