// The program's only channel to the display device: one serial port opened
// by name through libserialport, 115200 8N1, no flow control, and byte-level
// send and receive primitives. Every function returns a link status: 0 for
// success, a value per operation and failing step otherwise.
#pragma once

struct sp_port;
struct sp_port_config;

// Process-wide handles, null until SerialConnect runs; kept until exit.
extern struct sp_port *port;
extern struct sp_port_config *port_config;

int SerialConnect(const char *portname);  // 0, 101-104, 201-204, 301-304, 401-411
int SerialSetParams();                    // 0 or -1 .. -11
int SerialDisconnect();                   // the sp_return of sp_close
int SerialSend(char snd);                 // 0, -41 (flush), -42 (write)
int SerialSend4B(unsigned int value);     // 0 or -1, big-endian
int SerialSendSpecialCmd(char cmd);       // 0 or 1, the byte eight times
int SerialReceiveWithTimeout(char *rcv, unsigned int count, unsigned int timeout_ms);  // 0 or -1
int SerialReceive(char *rcv, unsigned int count);  // TIMEOUT_MS
// True once a send or receive failed because the port itself went away
// (a device unplugged, a line hung up), rather than for a passing error.
bool SerialPortLost();
