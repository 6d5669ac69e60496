// Shared constants: the program's whole configuration lives here and on the
// command line. Every other value is local to the module that uses it.
#pragma once

#include <cstdint>

// The release, as every program's --version and the package show it; the
// build reads it from here (CMakeLists.txt), so this is its only home.
#define VERSION "20160111"

// Files, all opened by bare name in the working directory.
#define RESOURCES_DIRECTORY "resources"
#define ZEBMAP_FILE "zebmap.map"
#define ZEBC_FILE "zebmap.c"
#define LOG_FILE "zebmap.log"
#define SCREENSHOT_FILE "test.bgra"

#ifdef _WIN32
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

constexpr int PATH_MAX_SIZE = 250;   // most characters of a file path
constexpr int PORT_NAME_SIZE = 250;  // most characters of a port name
constexpr int MAX_LINE_SIZE = 501;   // text line buffer, closing zero included

// Serial line.
constexpr int BAUDRATE = 115200;
#define PORT_NAME_DEFAULT "COM1"
constexpr unsigned int TIMEOUT_MS = 500;       // receive time-out
constexpr unsigned int READ_TIMEOUT_1B_MS = 1; // one read call inside a receive

// Resource map layout.
constexpr int TERMINATOR = 13;  // ends the first line and every map record
constexpr int FLASH_INITIAL_BLOCK = 1;

// Device command bytes (host to device).
constexpr unsigned char CMD_PUT = 0x01;
constexpr unsigned char CMD_GET = 0x02;
constexpr unsigned char CMD_PING = 0x03;
constexpr unsigned char CMD_EXIT = 0xAA;
constexpr unsigned char CMD_ERASE = 0x55;

// Device answers to a put message.
constexpr unsigned char RESPONSE_OK = 0x69;
constexpr unsigned char RESPONSE_KO_CHECKSUM = 0x79;
constexpr unsigned char RESPONSE_KO_FLASH = 0x89;

constexpr int MAX_PING_RETRY = 30;

// The pause after every accepted record and between ping attempts.
constexpr unsigned int PAUSE_MS = 1000;

// The screenshot the device keeps: its block and its length (480 x 272 BGRA).
constexpr int SCREENSHOT_BLOCK = 2000;
constexpr int32_t SCREENSHOT_SIZE = 522240;
