// Where a unit is reached: a local COM port ("3", "COM3") or a terminal
// server's TCP port, with the serial line's settings carried over RFC 2217
// ("rfc2217://HOST:PORT") or raw bytes only ("socket://HOST:PORT"). HOST is a
// host name, an IPv4 address or an IPv6 address in brackets ("[::1]"). An
// IPv4 address is four decimal numbers 0-255 without leading zeros: forms that
// systems read apart ("127.0.0.010" octal, "0x7f000001", "127.1") are refused.
#ifndef PORTADDRESS_H
#define PORTADDRESS_H

#include <string>

#define PORT_ADDRESS_LAST_COM 255
#define PORT_ADDRESS_LAST_TCP 65535

enum PortAddressKind { PORT_ADDRESS_COM, PORT_ADDRESS_RFC2217, PORT_ADDRESS_SOCKET };

struct PortAddress {
  PortAddressKind kind = PORT_ADDRESS_COM;
  int comNumber = 0;  // 1 to 255 for a COM port, else 0
  std::string host;   // lower case, an IPv6 address without its brackets
  int tcpPort = 0;    // 1 to 65535 for a network port, else 0
};

// "3" or "COM3" (letters in any case, at most three digits) -> 3; 0 for any
// other text or a number outside 1-255.
int portAddress_comNumber(const std::string &text);

// FALSE for a text that is no address, with the reason in *reason, naming the
// text ("rfc2217://host: no port"); *address is then left as it was.
bool portAddress_parse(const std::string &text, PortAddress *address, std::string *reason);

// "COM3", or the URL with the scheme and host in lower case and the port
// without leading zeros ("rfc2217://[::1]:3001").
std::string portAddress_text(const PortAddress &address);

// The address as part of a file name, the same on POSIX and Windows:
// "COM3", "rfc2217-127.0.0.1-3001", "socket-__1-4001" for [::1]:4001.
std::string portAddress_fileName(const PortAddress &address);

#endif  // PORTADDRESS_H
