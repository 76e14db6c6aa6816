// Telnet and COM-PORT-OPTION encoding and decoding.
//
// Option negotiation follows RFC 1143's rule that keeps both ends from
// looping: a request that confirms the state an option is already in, or
// answers one we asked, is not answered. We never switch an option off
// ourselves, so each side of an option needs only OFF, ASKED and ON.
#include "serial/TelnetCodec.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>

enum DecodeState {
  DECODE_DATA = 0,
  DECODE_IAC,             // after IAC
  DECODE_VERB,            // after IAC WILL/WONT/DO/DONT: the option is next
  DECODE_SUBNEGOTIATION,  // after IAC SB
  DECODE_SUBNEGOTIATION_IAC,
};

static const char *const kSubnegotiationTooLong = "subnegotiation longer than 64 bytes";
static const char *const kOptionFlood =
    "option flood: more than 256 negotiation commands without data";
static_assert(TELNET_SUBNEGOTIATION_MAX == 64 && TELNET_NEGOTIATION_MAX == 256,
              "the error texts name the bounds");

static BOOL isAccepted(uint8_t option) {
  return option == TELNET_OPTION_BINARY || option == TELNET_OPTION_SGA ||
         option == TELNET_OPTION_COM_PORT;
}

static void put(TelnetMessage *out, uint8_t byte) {
  if (out->length < TELNET_MESSAGE_MAX) out->bytes[out->length++] = byte;
}

static void putEscaped(TelnetMessage *out, uint8_t byte) {
  put(out, byte);
  if (byte == TELNET_IAC) put(out, TELNET_IAC);
}

static void putCommand(TelnetMessage *out, uint8_t verb, uint8_t option) {
  put(out, TELNET_IAC);
  put(out, verb);
  put(out, option);
}

void telnetCodec_init(TelnetCodec *codec) { memset(codec, 0, sizeof *codec); }

void telnetCodec_opening(TelnetCodec *codec, TelnetMessage *out) {
  out->length = 0;
  for (uint8_t option : {TELNET_OPTION_BINARY, TELNET_OPTION_SGA}) {
    putCommand(out, TELNET_WILL, option);
    putCommand(out, TELNET_DO, option);
    codec->local[option] = TELNET_OPTION_ASKED;
    codec->remote[option] = TELNET_OPTION_ASKED;
  }
  putCommand(out, TELNET_WILL, TELNET_OPTION_COM_PORT);
  codec->local[TELNET_OPTION_COM_PORT] = TELNET_OPTION_ASKED;
}

TelnetOptionState telnetCodec_localState(const TelnetCodec *codec, uint8_t option) {
  return (TelnetOptionState)codec->local[option];
}

TelnetOptionState telnetCodec_remoteState(const TelnetCodec *codec, uint8_t option) {
  return (TelnetOptionState)codec->remote[option];
}

BOOL telnetCodec_openingPending(const TelnetCodec *codec) {
  return codec->local[TELNET_OPTION_BINARY] == TELNET_OPTION_ASKED ||
         codec->remote[TELNET_OPTION_BINARY] == TELNET_OPTION_ASKED ||
         codec->local[TELNET_OPTION_COM_PORT] == TELNET_OPTION_ASKED;
}

const char *telnetCodec_refusal(const TelnetCodec *codec) {
  if (codec->local[TELNET_OPTION_COM_PORT] != TELNET_OPTION_ON)
    return "the server refuses COM-PORT-OPTION";
  if (codec->local[TELNET_OPTION_BINARY] != TELNET_OPTION_ON ||
      codec->remote[TELNET_OPTION_BINARY] != TELNET_OPTION_ON)
    return "the server refuses BINARY (Telnet's text mode may add or drop a byte after a CR "
           "inside an image)";
  return NULL;
}

size_t telnetCodec_escape(const uint8_t *data, size_t length, uint8_t *out, size_t capacity,
                          size_t *consumed) {
  size_t written = 0;
  size_t taken = 0;
  for (; taken < length; taken++) {
    const size_t need = data[taken] == TELNET_IAC ? 2 : 1;
    if (capacity - written < need) break;
    out[written++] = data[taken];
    if (need == 2) out[written++] = TELNET_IAC;
  }
  if (consumed != NULL) *consumed = taken;
  return written;
}

static void beginComPort(TelnetMessage *out, uint8_t command) {
  out->length = 0;
  put(out, TELNET_IAC);
  put(out, TELNET_SB);
  put(out, TELNET_OPTION_COM_PORT);
  putEscaped(out, command);
}

static void endComPort(TelnetMessage *out) {
  put(out, TELNET_IAC);
  put(out, TELNET_SE);
}

void telnetCodec_comPortCommand(uint8_t command, uint8_t value, TelnetMessage *out) {
  beginComPort(out, command);
  putEscaped(out, value);
  endComPort(out);
}

void telnetCodec_setBaudRate(uint32_t baudRate, TelnetMessage *out) {
  beginComPort(out, COM_PORT_SET_BAUDRATE);
  for (int shift = 24; shift >= 0; shift -= 8) putEscaped(out, (uint8_t)(baudRate >> shift));
  endComPort(out);
}

// ---- Decoding --------------------------------------------------------------------

static void fail(TelnetCodec *codec, const char *why, TelnetEvent *event) {
  codec->error = why;
  event->kind = TELNET_EVENT_ERROR;
  event->error = why;
}

// The server's WILL/WONT/DO/DONT: the option's new state and our answer.
static void negotiate(TelnetCodec *codec, uint8_t verb, uint8_t option, TelnetEvent *event) {
  const BOOL serverSide = verb == TELNET_WILL || verb == TELNET_WONT;
  uint8_t *state = serverSide ? &codec->remote[option] : &codec->local[option];
  const uint8_t yes = serverSide ? TELNET_DO : TELNET_WILL;
  const uint8_t no = serverSide ? TELNET_DONT : TELNET_WONT;
  event->kind = TELNET_EVENT_NEGOTIATION;
  event->verb = verb;
  event->option = option;
  if (verb == TELNET_WILL || verb == TELNET_DO) {
    if (*state == TELNET_OPTION_OFF) {
      putCommand(&event->answer, isAccepted(option) ? yes : no, option);
      if (!isAccepted(option)) return;
    }
    *state = TELNET_OPTION_ON;
  } else if (*state != TELNET_OPTION_OFF) {
    if (*state == TELNET_OPTION_ON) putCommand(&event->answer, no, option);
    *state = TELNET_OPTION_OFF;
  }
}

// Size of the value of a COM-PORT-OPTION reply, -1 for any (the signature).
static int replyValueSize(uint8_t command) {
  switch (command) {
    case COM_PORT_SIGNATURE: return -1;
    case COM_PORT_SET_BAUDRATE: return 4;
    case COM_PORT_FLOWCONTROL_SUSPEND:
    case COM_PORT_FLOWCONTROL_RESUME: return 0;
    default: return 1;
  }
}

// A complete subnegotiation: a COM-PORT-OPTION reply becomes an event, all
// else is ignored.
static void finishSubnegotiation(const TelnetCodec *codec, TelnetEvent *event) {
  const uint8_t *sub = codec->subnegotiation;
  const size_t length = codec->subnegotiationLength;
  if (length < 2 || sub[0] != TELNET_OPTION_COM_PORT || sub[1] < COM_PORT_REPLY_OFFSET ||
      sub[1] > COM_PORT_REPLY_OFFSET + COM_PORT_PURGE_DATA)
    return;
  event->command = (uint8_t)(sub[1] - COM_PORT_REPLY_OFFSET);
  const size_t valueSize = length - 2;
  const int expected = replyValueSize(event->command);
  if (expected >= 0 && valueSize != (size_t)expected) {
    event->kind = TELNET_EVENT_COM_PORT_MALFORMED;
    event->value = (uint32_t)valueSize;
    return;
  }
  event->kind = TELNET_EVENT_COM_PORT;
  if (expected > 0)
    for (size_t i = 2; i < length; i++) event->value = event->value << 8 | sub[i];
}

// FALSE when data is full: the byte is left for the next call.
static BOOL keepData(TelnetCodec *codec, uint8_t byte, uint8_t *data, size_t capacity,
                     size_t *dataLength) {
  if (*dataLength == capacity) return FALSE;
  data[(*dataLength)++] = byte;
  codec->negotiationsInARow = 0;
  return TRUE;
}

static void keepSubnegotiationByte(TelnetCodec *codec, uint8_t byte, TelnetEvent *event) {
  if (codec->subnegotiationLength == TELNET_SUBNEGOTIATION_MAX)
    fail(codec, kSubnegotiationTooLong, event);
  else
    codec->subnegotiation[codec->subnegotiationLength++] = byte;
}

// The byte after IAC in the data: an escaped 0xFF kept as data, or the start
// of a negotiation or a subnegotiation. FALSE when data is full: the byte is
// left for the next call.
static BOOL takeCommand(TelnetCodec *codec, uint8_t byte, uint8_t *data, size_t capacity,
                        size_t *dataLength) {
  if (byte == TELNET_IAC) {
    if (!keepData(codec, byte, data, capacity, dataLength)) return FALSE;
    codec->state = DECODE_DATA;
  } else if (byte >= TELNET_WILL) {
    codec->verb = byte;
    codec->state = DECODE_VERB;
  } else if (byte == TELNET_SB) {
    codec->subnegotiationLength = 0;
    codec->state = DECODE_SUBNEGOTIATION;
  } else {
    codec->state = DECODE_DATA;  // NOP, GA and the rest carry nothing for us
  }
  return TRUE;
}

// The byte after IAC inside a subnegotiation: an escaped 0xFF, or its end.
// FALSE when the byte is not taken: an unterminated subnegotiation is
// dropped, and the byte read again as the command it is.
static BOOL takeSubnegotiationCommand(TelnetCodec *codec, uint8_t byte, TelnetEvent *event) {
  if (byte == TELNET_IAC) {
    codec->state = DECODE_SUBNEGOTIATION;
    keepSubnegotiationByte(codec, TELNET_IAC, event);
  } else if (byte == TELNET_SE) {
    codec->state = DECODE_DATA;
    finishSubnegotiation(codec, event);
  } else {
    codec->state = DECODE_IAC;
    return FALSE;
  }
  return TRUE;
}

size_t telnetCodec_decode(TelnetCodec *codec, const uint8_t *bytes, size_t length, uint8_t *data,
                          size_t capacity, size_t *dataLength, TelnetEvent *event) {
  memset(event, 0, sizeof *event);
  *dataLength = 0;
  if (codec->error != NULL) {
    fail(codec, codec->error, event);
    return length;
  }
  size_t i = 0;
  while (i < length && event->kind == TELNET_EVENT_NONE) {
    const uint8_t byte = bytes[i];
    switch (codec->state) {
      case DECODE_DATA:
        if (byte == TELNET_IAC)
          codec->state = DECODE_IAC;
        else if (!keepData(codec, byte, data, capacity, dataLength))
          return i;
        i++;
        break;
      case DECODE_IAC:
        if (!takeCommand(codec, byte, data, capacity, dataLength)) return i;
        i++;
        break;
      case DECODE_VERB:
        i++;
        codec->state = DECODE_DATA;
        if (++codec->negotiationsInARow > TELNET_NEGOTIATION_MAX)
          fail(codec, kOptionFlood, event);
        else
          negotiate(codec, codec->verb, byte, event);
        break;
      case DECODE_SUBNEGOTIATION:
        i++;
        if (byte == TELNET_IAC)
          codec->state = DECODE_SUBNEGOTIATION_IAC;
        else
          keepSubnegotiationByte(codec, byte, event);
        break;
      case DECODE_SUBNEGOTIATION_IAC:
        if (takeSubnegotiationCommand(codec, byte, event)) i++;
        break;
    }
  }
  return codec->error != NULL ? length : i;
}

const char *telnetCodec_error(const TelnetCodec *codec) { return codec->error; }

// ---- Names -----------------------------------------------------------------------

static const char *verbName(uint8_t verb) {
  switch (verb) {
    case TELNET_WILL: return "WILL";
    case TELNET_WONT: return "WONT";
    case TELNET_DO: return "DO";
    default: return "DONT";
  }
}

// The option's name, or its number written into `number`.
static const char *optionName(uint8_t option, char (&number)[16]) {
  switch (option) {
    case TELNET_OPTION_BINARY: return "BINARY";
    case 1: return "ECHO";
    case TELNET_OPTION_SGA: return "SUPPRESS-GO-AHEAD";
    case 24: return "TERMINAL-TYPE";
    case 31: return "NAWS";
    case TELNET_OPTION_COM_PORT: return "COM-PORT-OPTION";
  }
  snprintf(number, sizeof number, "option %u", (unsigned)option);
  return number;
}

static const char *const kComPortCommands[] = {
    "SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",
    "SET-STOPSIZE",        "SET-CONTROL",        "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
    "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
    "PURGE-DATA"};

static const char *comPortCommandName(uint8_t command) {
  const size_t count = sizeof kComPortCommands / sizeof kComPortCommands[0];
  return command < count ? kComPortCommands[command] : "COM-PORT-OPTION reply";
}

static const struct {
  uint8_t command;
  uint8_t value;
  const char *name;
} kComPortValues[] = {
    {COM_PORT_SET_PARITY, COM_PORT_PARITY_NONE, "NONE"},
    {COM_PORT_SET_PARITY, COM_PORT_PARITY_ODD, "ODD"},
    {COM_PORT_SET_PARITY, COM_PORT_PARITY_EVEN, "EVEN"},
    {COM_PORT_SET_PARITY, 4, "MARK"},
    {COM_PORT_SET_PARITY, 5, "SPACE"},
    {COM_PORT_SET_STOPSIZE, COM_PORT_STOPSIZE_1, "1"},
    {COM_PORT_SET_STOPSIZE, COM_PORT_STOPSIZE_2, "2"},
    {COM_PORT_SET_STOPSIZE, 3, "1.5"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_FLOW_NONE, "flow none"},
    {COM_PORT_SET_CONTROL, 2, "flow XON/XOFF"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_FLOW_HARDWARE, "flow hardware"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_DTR_ON, "DTR on"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_DTR_OFF, "DTR off"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_RTS_ON, "RTS on"},
    {COM_PORT_SET_CONTROL, COM_PORT_CONTROL_RTS_OFF, "RTS off"},
    {COM_PORT_PURGE_DATA, COM_PORT_PURGE_RX, "rx"},
    {COM_PORT_PURGE_DATA, COM_PORT_PURGE_TX, "tx"},
    {COM_PORT_PURGE_DATA, COM_PORT_PURGE_BOTH, "both"},
};

static void comPortName(const TelnetEvent *event, char *text, size_t size) {
  const char *command = comPortCommandName(event->command);
  switch (event->command) {
    case COM_PORT_SIGNATURE:
    case COM_PORT_FLOWCONTROL_SUSPEND:
    case COM_PORT_FLOWCONTROL_RESUME: snprintf(text, size, "%s", command); return;
    case COM_PORT_NOTIFY_LINESTATE:
    case COM_PORT_NOTIFY_MODEMSTATE:
      snprintf(text, size, "%s 0x%02X", command, (unsigned)event->value);
      return;
  }
  for (const auto &known : kComPortValues)
    if (known.command == event->command && known.value == event->value) {
      snprintf(text, size, "%s %s acknowledged", command, known.name);
      return;
    }
  snprintf(text, size, "%s %lu acknowledged", command, (unsigned long)event->value);
}

const char *telnetCodec_eventName(const TelnetEvent *event, char *text, size_t size) {
  if (size == 0) return text;
  char option[16];
  switch (event->kind) {
    case TELNET_EVENT_NONE: snprintf(text, size, "nothing"); break;
    case TELNET_EVENT_NEGOTIATION:
      if (event->answer.length == 3)
        snprintf(text, size, "%s %s, answered %s", verbName(event->verb),
                 optionName(event->option, option), verbName(event->answer.bytes[1]));
      else
        snprintf(text, size, "%s %s", verbName(event->verb), optionName(event->option, option));
      break;
    case TELNET_EVENT_COM_PORT: comPortName(event, text, size); break;
    case TELNET_EVENT_COM_PORT_MALFORMED:
      snprintf(text, size, "%s reply with %lu value bytes ignored",
               comPortCommandName(event->command), (unsigned long)event->value);
      break;
    case TELNET_EVENT_ERROR: snprintf(text, size, "error: %s", event->error); break;
  }
  return text;
}
