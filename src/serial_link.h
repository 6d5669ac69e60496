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

constexpr int kLinkOk = 0;  // the success of every function here but SerialDisconnect

// Results of SerialConnect: kLinkOk, or the base of the step that failed
// plus the library's error code negated (SP_ERR_ARG -1 .. SP_ERR_SUPP -4),
// or plus the SerialSetParams result negated.
constexpr int kConnectNoConfig = 100;     // sp_new_config failed: 101-104
constexpr int kConnectNoSuchPort = 200;   // sp_get_port_by_name failed: 201-204
constexpr int kConnectNotOpened = 300;    // sp_open failed, or another process holds the port: 301-304
constexpr int kConnectNotSettable = 400;  // a line setting was refused: 401-411
int SerialConnect(const char *portname);

// Results of SerialSetParams: the first setting the library refused.
constexpr int kParamsBaudrate = -1;
constexpr int kParamsBits = -2;
constexpr int kParamsCts = -3;
constexpr int kParamsDsr = -4;
constexpr int kParamsDtr = -5;
constexpr int kParamsFlowControl = -6;
constexpr int kParamsParity = -7;
constexpr int kParamsRts = -8;
constexpr int kParamsStopBits = -9;
constexpr int kParamsXonXoff = -10;
constexpr int kParamsApply = -11;  // the settings could not be applied to the port
int SerialSetParams();

int SerialDisconnect();  // the sp_return of sp_close, passed through

// Results of SerialSend.
constexpr int kSendFlushFailed = -41;  // the input could not be flushed
constexpr int kSendWriteFailed = -42;  // the byte could not be written
int SerialSend(char snd);

constexpr int kSend4BFailed = -1;  // result of SerialSend4B when a byte did not go out
int SerialSend4B(unsigned int value);  // big-endian

constexpr int kSpecialCmdFailed = 1;  // result of SerialSendSpecialCmd when a copy did not go out
int SerialSendSpecialCmd(char cmd);   // the byte eight times

constexpr int kReceiveTimedOut = -1;  // result of the receives when count bytes did not come in time
int SerialReceiveWithTimeout(char *rcv, unsigned int count, unsigned int timeout_ms);
int SerialReceive(char *rcv, unsigned int count);  // TIMEOUT_MS
// True once a send or receive failed because the port itself went away
// (a device unplugged, a line hung up), rather than for a passing error.
bool SerialPortLost();
