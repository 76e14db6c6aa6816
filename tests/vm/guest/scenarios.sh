# The guest side of each scenario: what runs inside the virtual machine.
# The host side (the simulated unit, the checks) is in run-vm-scenario.

# Waits up to $2 seconds for the text $1 in the transcript /tmp/$3.out.
wait_text() {
  i=0
  while ! grep -q "$1" "/tmp/$3.out" 2>/dev/null && [ $i -lt $(($2 * 20)) ]; do
    sleep 0.05
    i=$((i + 1))
  done
}

# The unit behind the USB adapter, found by detection as COM5.
scenario_tx_usb() {
  run_updater tx
}

# The unit behind the UART ttyS1 (COM2) at 57600. The line is read back
# while the update runs with the CTS handshake on: the first reading that
# shows it (the update's few seconds are short for a fixed delay).
scenario_rx_uart() {
  run_updater rx &
  wait_text "Baud rate       : 57600" 120 rx
  : >/tmp/lines.txt
  while [ ! -e /tmp/rx.status ]; do
    vmhelper lines /dev/ttyS1 >/tmp/reading.txt 2>&1
    if grep -q CRTSCTS=1 /tmp/reading.txt; then
      cp /tmp/reading.txt /tmp/lines.txt
      break
    fi
  done
  emit lines /tmp/lines.txt
  wait
}

# The host pulls the adapter out in the middle of the FPGA stream.
# The guest notes when the device node goes away, and what a second opener
# of the adapter sees from poll, read and write once it has gone.
scenario_unplug() {
  run_updater unplug &
  wait_text "COM PORT Number : 5" 120 unplug
  vmhelper gone /dev/ttyUSB0 >/tmp/driver.txt 2>&1 &
  while [ -e /dev/ttyUSB0 ]; do sleep 0.02; done
  uptime_ms >/tmp/gone
  wait
  emit gone /tmp/gone
  emit driver /tmp/driver.txt
}

# Another program holds ttyS1 (COM2) while the updater runs, once for each
# way of holding it given as arguments.
held() {
  for mode in "$@"; do
    vmhelper hold /dev/ttyS1 "$mode" >"/tmp/hold-$mode.txt" 2>&1 &
    holder=$!
    i=0
    while ! grep -q holding "/tmp/hold-$mode.txt" && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
    run_updater "held-$mode"
    kill -TERM $holder
    wait $holder
    emit "hold-$mode" "/tmp/hold-$mode.txt"
  done
}
scenario_held_flock() { held flock; }
scenario_held_unlocked() { held none uucp; }

# Modem lines and line settings of the adapter while the updater waits for
# the unit's "Ready" (the CTS handshake is on by then).
scenario_lines() {
  run_updater lines &
  wait_text "Preparing to Upload Programmable Logic" 120 lines
  sleep 1
  vmhelper lines /dev/ttyUSB0 >/tmp/lines.txt 2>&1
  emit lines /tmp/lines.txt
  wait
}

# The bytes the 8250 driver has handed ttyS1's UART so far.
uart_tx() { sed -n 's/^1:.* tx:\([0-9]*\).*/\1/p' /proc/tty/driver/serial; }

# The host's relay stops reading ttyS1 in the middle of the FPGA stream, so
# the driver's buffer stays full. Once the UART has sent nothing for a second,
# two SIGINTs (the first only warns while the unit is at risk), and 0.1 s
# after the second the relay reads again: what the updater left queued could
# leave now. The time from the second signal to the updater's end (ms=, at
# most 10 s are waited for), the bytes queued before it and those the UART
# took after it, until the end (sent=) and 2 s later (later=).
scenario_interrupt_uart() {
  run_only stop vmhelper interruptible /bin/TessaranFwUpgrade &
  wait_text "Sending Programmable" 200 stop
  tx=-1
  while [ "$tx" != "$(uart_tx)" ] && [ ! -e /tmp/stop.status ]; do
    tx=$(uart_tx)
    sleep 1
  done
  queued=$(vmhelper queued /dev/ttyS1)
  pid=$(pidof TessaranFwUpgrade) || pid=none
  kill -INT "$pid"
  sleep 0.5
  start=$(uptime_ms)
  kill -INT "$pid"
  usleep 100000
  echo "vm: resume" >/dev/console
  i=0
  while [ -e "/proc/$pid" ] && [ $i -lt 1000 ]; do usleep 10000; i=$((i + 1)); done
  ms=$(($(uptime_ms) - start))
  sent=$(($(uart_tx) - tx))
  wait
  sleep 2
  echo "ms=$ms $queued sent=$sent later=$(($(uart_tx) - tx))" >/tmp/stop.txt
  emit_run stop
  emit stop.txt /tmp/stop.txt
}

# "ttyUSBn LOCATION VID:PID SERIAL" for each USB serial adapter, from sysfs:
# the tty's device is the adapter's port, under its interface, under the USB
# device, whose folder is named by its location (bus-port.port...).
adapters() {
  for tty in /sys/class/tty/ttyUSB*; do
    usb=$(readlink -f "$tty/device/../..")
    echo "${tty##*/} ${usb##*/} $(cat "$usb/idVendor"):$(cat "$usb/idProduct") $(cat "$usb/serial")"
  done
}
# Waits up to 30 s until there are $1 USB serial adapters.
wait_adapters() {
  i=0
  while [ "$(ls -d /sys/class/tty/ttyUSB* 2>/dev/null | wc -l)" != "$1" ] && [ $i -lt 600 ]; do
    sleep 0.05
    i=$((i + 1))
  done
}
# The host pulls or plugs back the hub's adapters named ($1 pull|plug, then
# QEMU ids); then $2 adapters are wanted.
hub_request() {
  echo "vm: $1" >/dev/console
  wait_adapters "$2"
}
tty_of() { adapters | awk -v s="$1" '$4 == s { print $1 }'; }

# Three adapters behind a hub (1-2.1 to 1-2.3) beside the first (1-1). The
# second and third are pulled and plugged back in the other order: they swap
# their ttyUSB numbers. The unit behind the second is then asked through the
# COM number its new ttyUSB number gives (COM5 + n).
scenario_usb_hub() {
  wait_adapters 4
  adapters >/tmp/before
  emit before /tmp/before
  hub_request "pull hub2 hub3" 2
  hub_request "plug hub3" 3
  hub_request "plug hub2" 4
  adapters >/tmp/after
  emit after /tmp/after
  moved=$(tty_of A10K0002)
  run_program probe TessaranFwTool probe --port $((${moved#ttyUSB} + 5))
}

# The same, then the tool names the adapters by device path and USB location:
# the unit behind the first hub adapter by its ttyUSB path, the one behind the
# moved adapter by its location, both updated side by side.
scenario_usb_slots() {
  scenario_usb_hub
  TessaranFwTool ports --json >/tmp/ports.json 2>&1
  emit ports.json /tmp/ports.json
  location=$(adapters | awk '$4 == "A10K0002" { print $2 }')
  run_only update-port TessaranFwTool update --port "/dev/$(tty_of A10K0001)" &
  run_only update-slot TessaranFwTool update-all --ports "usb:$location" --report /tmp/slot.json &
  wait
  emit_run update-port
  emit_run update-slot
  emit slot.json /tmp/slot.json
}
