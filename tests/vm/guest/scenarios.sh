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
