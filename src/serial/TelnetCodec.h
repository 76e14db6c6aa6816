// Telnet (RFC 854, 856, 858) with the serial port option of RFC 2217, as we
// speak it to a terminal server: the bytes we send and the decoding of the
// bytes it sends. No socket here: the connection feeds the decoder whatever it
// reads and writes out what the encoder and the decoder's answers produce.
//
// The decoder is a fixed-size state machine: it accepts input split anywhere,
// never allocates and never holds more than one subnegotiation
// (TELNET_SUBNEGOTIATION_MAX bytes). A server that breaks the bounds puts it
// in a sticky error state.
#ifndef TELNETCODEC_H
#define TELNETCODEC_H

#include <stddef.h>
#include <stdint.h>

#include "platform/Platform.h"

// Telnet commands, each sent after TELNET_IAC.
#define TELNET_SE 240
#define TELNET_NOP 241
#define TELNET_GA 249
#define TELNET_SB 250
#define TELNET_WILL 251
#define TELNET_WONT 252
#define TELNET_DO 253
#define TELNET_DONT 254
#define TELNET_IAC 255

// The options we accept, in both directions; every other one is refused.
#define TELNET_OPTION_BINARY 0
#define TELNET_OPTION_SGA 3  // suppress go-ahead
#define TELNET_OPTION_COM_PORT 44

// COM-PORT-OPTION commands, client to server. The server's reply to one
// carries the same code plus COM_PORT_REPLY_OFFSET.
#define COM_PORT_SIGNATURE 0
#define COM_PORT_SET_BAUDRATE 1  // 4-byte value, network order
#define COM_PORT_SET_DATASIZE 2  // 5 to 8
#define COM_PORT_SET_PARITY 3
#define COM_PORT_SET_STOPSIZE 4
#define COM_PORT_SET_CONTROL 5
#define COM_PORT_NOTIFY_LINESTATE 6
#define COM_PORT_NOTIFY_MODEMSTATE 7
#define COM_PORT_FLOWCONTROL_SUSPEND 8
#define COM_PORT_FLOWCONTROL_RESUME 9
#define COM_PORT_SET_LINESTATE_MASK 10
#define COM_PORT_SET_MODEMSTATE_MASK 11
#define COM_PORT_PURGE_DATA 12
#define COM_PORT_REPLY_OFFSET 100

#define COM_PORT_PARITY_NONE 1
#define COM_PORT_PARITY_ODD 2
#define COM_PORT_PARITY_EVEN 3
#define COM_PORT_STOPSIZE_1 1
#define COM_PORT_STOPSIZE_2 2
#define COM_PORT_CONTROL_FLOW_NONE 1      // outbound flow control off
#define COM_PORT_CONTROL_FLOW_HARDWARE 3  // outbound flow control by CTS/RTS
#define COM_PORT_CONTROL_DTR_ON 8
#define COM_PORT_CONTROL_DTR_OFF 9
#define COM_PORT_CONTROL_RTS_ON 11
#define COM_PORT_CONTROL_RTS_OFF 12
#define COM_PORT_PURGE_RX 1  // what the server has received from the unit
#define COM_PORT_PURGE_TX 2  // what the server has still to send to the unit
#define COM_PORT_PURGE_BOTH 3

#define TELNET_SUBNEGOTIATION_MAX 64  // option byte and value, unescaped
#define TELNET_NEGOTIATION_MAX 256    // WILL/WONT/DO/DONT in a row without data
#define TELNET_MESSAGE_MAX 16

// A complete message for the server: the opening, a command, an answer.
typedef struct TelnetMessage {
  uint8_t bytes[TELNET_MESSAGE_MAX];
  size_t length;
} TelnetMessage;

typedef enum TelnetEventKind {
  TELNET_EVENT_NONE = 0,
  TELNET_EVENT_NEGOTIATION,         // the server's WILL/WONT/DO/DONT for an option
  TELNET_EVENT_COM_PORT,            // a COM-PORT-OPTION reply or notification
  TELNET_EVENT_COM_PORT_MALFORMED,  // a COM-PORT-OPTION reply with a value of the wrong size
  TELNET_EVENT_ERROR,               // the decoder has stopped: telnetCodec_error says why
} TelnetEventKind;

typedef struct TelnetEvent {
  TelnetEventKind kind;
  uint8_t verb;          // NEGOTIATION: TELNET_WILL, _WONT, _DO or _DONT
  uint8_t option;        // NEGOTIATION: the option
  uint8_t command;       // COM_PORT...: the client's code the reply answers (server code - 100)
  uint32_t value;        // COM_PORT: the value (baud rate, data size, ...); MALFORMED: its size
  TelnetMessage answer;  // NEGOTIATION: what to send back, often nothing
  const char *error;     // ERROR: why the decoder stopped
} TelnetEvent;

typedef enum TelnetOptionState {
  TELNET_OPTION_OFF = 0,
  TELNET_OPTION_ASKED,  // we asked for it and wait for the server's answer
  TELNET_OPTION_ON,
} TelnetOptionState;

typedef struct TelnetCodec {
  int state;  // where the decoder is within a sequence
  uint8_t verb;
  uint8_t subnegotiation[TELNET_SUBNEGOTIATION_MAX];
  size_t subnegotiationLength;
  int negotiationsInARow;
  const char *error;
  uint8_t local[256];   // TelnetOptionState of the options we perform
  uint8_t remote[256];  // TelnetOptionState of the options the server performs
} TelnetCodec;

// Every option off, the decoder between data bytes, no error.
void telnetCodec_init(TelnetCodec *codec);
// What we open the connection with: WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION. Those options become ASKED, so the
// server's agreement is not answered again.
void telnetCodec_opening(TelnetCodec *codec, TelnetMessage *out);
TelnetOptionState telnetCodec_localState(const TelnetCodec *codec, uint8_t option);
TelnetOptionState telnetCodec_remoteState(const TelnetCodec *codec, uint8_t option);
// After the opening: TRUE while the server has yet to answer BINARY (either
// way) or COM-PORT-OPTION.
BOOL telnetCodec_openingPending(const TelnetCodec *codec);
// Once answered: NULL while BINARY is on both ways and COM-PORT-OPTION on,
// else why the connection is of no use. Without BINARY a server may add or
// drop bytes after a CR, which would corrupt an image; a server that switches
// BINARY off later is refused the same way.
const char *telnetCodec_refusal(const TelnetCodec *codec);

// Copies data into out[0..capacity) with every IAC doubled, stopping before a
// byte that would not fit whole. *consumed is the count of data bytes taken;
// returns the count written. 2 * length bytes of room always suffice.
size_t telnetCodec_escape(const uint8_t *data, size_t length, uint8_t *out, size_t capacity,
                          size_t *consumed);
// A COM-PORT-OPTION subnegotiation with a one-byte value (SET-DATASIZE,
// -PARITY, -STOPSIZE, -CONTROL, PURGE-DATA, ...).
void telnetCodec_comPortCommand(uint8_t command, uint8_t value, TelnetMessage *out);
void telnetCodec_setBaudRate(uint32_t baudRate, TelnetMessage *out);

// Decodes bytes from the server. Data bytes, unescaped, go to
// data[0..capacity) and their count to *dataLength. Stops after the first
// event, when data is full, or at the end of the input; returns the count of
// input bytes consumed, so the caller calls again with the rest. Once in
// error, every call consumes all its input and reports TELNET_EVENT_ERROR.
size_t telnetCodec_decode(TelnetCodec *codec, const uint8_t *bytes, size_t length, uint8_t *data,
                          size_t capacity, size_t *dataLength, TelnetEvent *event);
// Why the decoder stopped, or NULL while it has not.
const char *telnetCodec_error(const TelnetCodec *codec);

// An event as the trace writes it: "WILL COM-PORT-OPTION",
// "WILL ECHO, answered DONT", "SET-BAUDRATE 57600 acknowledged".
// Returns `text` (always terminated, truncated to its size).
const char *telnetCodec_eventName(const TelnetEvent *event, char *text, size_t size);

#endif  // TELNETCODEC_H
