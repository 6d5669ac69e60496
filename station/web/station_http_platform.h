// What the web side's server does differently on each platform
// (station_http_posix.cpp, station_http_win32.cpp).
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

// Set on the listening socket before it is bound: the address is this
// station's alone (a second station is refused it, not given a share). No
// program the station starts inherits the socket or a client's connection:
// the process layer gives a child its standard streams and nothing else.
void SetListenerOptions(socket_t sock);

// The server's own settings that differ per platform, before it serves.
void SetServerOptions(httplib::Server &server);

// The machine's addresses, numeric, for a listener on every one of them:
// IPv4, and IPv6 too when with_ipv6 (link-local ones left out: a browser
// needs their interface besides). Windows gives its host name instead.
std::vector<std::string> MachineAddresses(bool with_ipv6);

// Why getaddrinfo refused a host (its status), in one line.
std::string AddressErrorText(int status);

// Forgets the last socket error, so that SocketErrorText tells the error of
// the calls after it: the system's words, or "" when none failed.
void ClearSocketError();
std::string SocketErrorText();
