// The web side's listener on Linux.
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
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

std::vector<std::string> MachineAddresses(bool with_ipv6) {
    std::vector<std::string> addresses;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        const struct sockaddr *address = entry->ifa_addr;
        if (address == nullptr || (entry->ifa_flags & IFF_UP) == 0) continue;
        const bool ipv4 = address->sa_family == AF_INET;
        const bool ipv6 = address->sa_family == AF_INET6 && with_ipv6 &&
                          !IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_addr);
        if (!ipv4 && !ipv6) continue;
        char text[NI_MAXHOST];
        const socklen_t size = ipv4 ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
        if (getnameinfo(address, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) addresses.emplace_back(text);
    }
    freeifaddrs(list);
    return addresses;
}

std::string AddressErrorText(int status) { return gai_strerror(status); }

void ClearSocketError() { errno = 0; }

std::string SocketErrorText() { return errno != 0 ? strerror(errno) : ""; }
