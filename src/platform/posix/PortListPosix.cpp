#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "platform/OpenFailures.h"
#include "platform/PortList.h"
#include "platform/PrintableText.h"
#include "platform/posix/ComPortNames.h"
#include "platform/posix/PortHolders.h"

std::vector<int> portList_ports(void) {
  std::vector<int> ports;
  for (int port = 1; port <= 32; port++) ports.push_back(port);
  return ports;
}

std::string portList_device(int port) {
  char name[32];
  char path[4096];
  snprintf(name, sizeof name, "COM%d", port);
  if (!comPortNames_resolve(name, path, sizeof path)) return std::string();
  return path;
}

std::string portList_deviceOfOpen(int port, const char *name) {
  (void)name;
  return portList_device(port);
}

void portList_describe(PortEntry *entry) { entry->device = portList_device(entry->number); }

void portList_checkDevice(PortEntry *entry) {
  int fd = open(entry->device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    entry->state = portList_stateOfFailedOpen(errno);
    entry->reason = entry->state != PORT_ABSENT ? strerror(errno) : portList_notSerialText(errno);
    return;
  }
  if (!isatty(fd)) {  // a plain file, a fifo, /dev/null: there, but no port
    close(fd);
    entry->state = PORT_ABSENT;
    entry->reason = portList_notSerialText(ENOTTY);
    return;
  }
  close(fd);
  entry->state = PORT_FREE;
  PortHolder holder;
  if (!portHolders_find(entry->device.c_str(), &holder)) return;
  entry->state = PORT_BUSY;
  entry->reason = strerror(EBUSY);
  entry->holderPid = holder.pid;
  entry->holderName = holder.name;
}

std::string portList_notSerialText(long systemError) {
  if (systemError == EISDIR) return "a folder, not a serial port";
  return systemError == ENOTTY ? "not a serial port" : "";
}

PortState portList_stateOfFailedOpen(long systemError) {
  switch (systemError) {
    case EISDIR:
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTTY:
    case ENOTDIR:
    case 0:  // a name that does not fit
      return PORT_ABSENT;
    case EACCES:
    case EPERM:
      return PORT_DENIED;
    default:  // EBUSY (held), EIO, ...: there, but not ours to use
      return PORT_BUSY;
  }
}

// The holder from the other programs' lock files and open descriptors, as far
// as the system lets this user see them.
void portList_findHolder(PortEntry *entry) {
  PortHolder holder;
  if (entry->device.empty() || !portHolders_find(entry->device.c_str(), &holder)) return;
  entry->holderPid = holder.pid;
  entry->holderName = holder.name;
}

std::string openFailures_text(int port) {
  PortOpenFailure failure;
  if (!openFailures_find(port, &failure)) return std::string();
  const std::string device = portList_device(port);
  const std::string notSerial = portList_notSerialText(failure.code);
  // A port named by its path has that path for its name already.
  if (!notSerial.empty())
    return notSerial + (device.empty() || port > PORT_LIST_LAST_COM
                            ? ""
                            : " (" + printableText_escape(device) + ")");
  switch (portList_stateOfFailedOpen(failure.code)) {
    case PORT_ABSENT:
      return device.empty() ? "absent" : "absent (no " + printableText_escape(device) + ")";
    case PORT_DENIED:
      return "no permission to open " + printableText_escape(device) +
             ": join the dialout group (sudo usermod -aG dialout $USER) and log in again";
    default:
      break;
  }
  if (failure.heldBySystemConsole) return "held by the system console";
  if (failure.holderPid > 0) {
    std::string text = "held by PID " + std::to_string(failure.holderPid);
    if (failure.holderName[0] != '\0') text += " (" + printableText_escape(failure.holderName) + ")";
    return text;
  }
  if (failure.code == EBUSY) return "held by another program";
  return std::string("cannot be opened: ") + strerror((int)failure.code);
}
