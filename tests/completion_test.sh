#!/usr/bin/env bash
# Tries the bash completion of packaging/velkaro.bash-completion with
# bash-completion's own functions, on a made-up machine's sysfs and /dev:
# the options, COM1= to COM6= after --port, and after the = the serial
# devices and their /dev/serial/by-id names, never a virtual console or an
# 8250 node with no UART.
#   tests/completion_test.sh
set -uo pipefail
say() { echo "completion_test: $*" >&2; }
here=$(cd "$(dirname "$0")" && pwd)
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || { say "bash-completion is needed ($framework)"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for tty in ttyS0 ttyS1 ttyUSB0 ttyACM0 tty1; do mkdir -p "$root/sys/class/tty/$tty"; done
for tty in ttyS0 ttyS1 ttyUSB0 ttyACM0; do ln -s /nonexistent "$root/sys/class/tty/$tty/device"; done
echo 4 >"$root/sys/class/tty/ttyS0/type"
echo 0 >"$root/sys/class/tty/ttyS1/type"
mkdir -p "$root/dev/serial/by-id"
ln -s ../../ttyUSB0 "$root/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"

failed=0
# Completes the line as typed, the cursor at its end; prints the choices.
complete_line() {
  bash --norc --noprofile -c '
    source "$1"; source "$2"; _VELKARO_ROOT=$3
    COMP_LINE=$4; COMP_POINT=${#COMP_LINE}
    COMP_WORDBREAKS=${COMP_WORDBREAKS:-"\"'"'"'><=;|&(:"}
    # Split as readline does: at blanks, and at each word break character.
    read -ra COMP_WORDS < <(sed -E "s/([=:])/ \1 /g" <<<"$COMP_LINE")
    [[ $COMP_LINE == *" " || $COMP_LINE == *"=" ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _velkaro velkaro "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' complete_line "$framework" "$here/../packaging/velkaro.bash-completion" "$root" "$1"
}
expect() {
  local got
  got=$(complete_line "$1" | sort | xargs)
  [ "$got" = "$2" ] || { say "'$1' completes to '$got', not '$2'"; failed=1; }
}
expect "velkaro --wa" "--watch"
expect "velkaro --" "--all --help --json --list --port --version --watch"
expect "velkaro --port " "COM1= COM2= COM3= COM4= COM5= COM6="
expect "velkaro --port COM" "COM1= COM2= COM3= COM4= COM5= COM6="
expect "velkaro --port COM5=" "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 /dev/ttyACM0 /dev/ttyS0 /dev/ttyUSB0"
expect "velkaro --port COM5=/dev/ttyU" "/dev/ttyUSB0"
expect "velkaro --port=COM2=/dev/serial/" "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
expect "velkaro --port COM7=" ""
[ "$failed" -eq 0 ] && echo "completion_test: options, ports and devices complete as typed"
exit "$failed"
