#!/usr/bin/env bash
# The cable's udev rule, read as udev reads it and applied to a table of USB
# devices: only the project's cables (vendor 0403, products 6010, 6011, 6014,
# product string beginning with "Vexil") get the logged-in user's and the
# plugdev group's access. udevadm cannot stand in: its test command needs the
# device in sysfs, and no udev daemon runs in CI. So this reads the rule
# keys itself and refuses any key it does not know, rather than pass a rule it
# cannot judge. Usage: udev_rule_test.sh RULE_FILE
set -uo pipefail
rules=$1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# uaccess is applied by a rule file numbered 73; a rule sorted after it is
# too late for the tag to take effect.
number=$(basename "$rules" | sed -n 's/^\([0-9][0-9]\)-.*\.rules$/\1/p')
[ -n "$number" ] && [ "$number" -lt 73 ] || fail "$(basename "$rules"): not numbered below 73"

# One rule per line: KEY or KEY{NAME}, an operator, a quoted value; comma
# separated.
KEY_PATTERN='^[[:space:]]*([A-Z]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"([^"]*)"[[:space:]]*(,|$)'
ruleKeys=()
while IFS= read -r line; do
    case $line in "" | "#"*) continue ;; esac
    keys=""
    rest=$line
    while [ -n "$rest" ]; do
        if [[ ! $rest =~ $KEY_PATTERN ]]; then
            fail "not read as a rule key: $rest"
            break
        fi
        keys+="${BASH_REMATCH[1]}|${BASH_REMATCH[3]}|${BASH_REMATCH[4]}|${BASH_REMATCH[5]}"$'\n'
        rest=${rest:${#BASH_REMATCH[0]}}
    done
    ruleKeys+=("$keys")
done <"$rules"
[ "${#ruleKeys[@]}" -gt 0 ] || fail "no rule in $rules"

# udev matches a value as a shell glob, with "|" between alternatives.
matches() {
    local value=$1 pattern=$2 alternative
    local IFS='|'
    for alternative in $pattern; do
        # shellcheck disable=SC2053
        [[ $value == $alternative ]] && return 0
    done
    return 1
}

# What the rules assign to a device: "MODE GROUP TAGS".
apply() {
    local -A device=([SUBSYSTEM]=$1 [DEVTYPE]=$2 [idVendor]=$3 [idProduct]=$4 [product]=$5)
    local mode="" group="" tags="" keys key name operator value actual applies
    for keys in "${ruleKeys[@]}"; do
        applies=yes
        while IFS='|' read -r key name operator value; do
            [ -n "$key" ] || continue
            case $key in
                SUBSYSTEM) actual=${device[SUBSYSTEM]} ;;
                ENV | ATTR | ATTRS)
                    # The device's own attributes; DEVTYPE is its one property.
                    if [ "$key" = ENV ] && [ "$name" != DEVTYPE ] || [ "$key" != ENV ] && [ "$name" = DEVTYPE ] ||
                        [ -z "${device[$name]+set}" ]; then
                        fail "unknown key $key{$name}"
                        return
                    fi
                    actual=${device[$name]}
                    ;;
                MODE | GROUP | TAG) continue ;;
                *) fail "unknown key $key"; return ;;
            esac
            case $operator in
                ==) { [ -n "$actual" ] && matches "$actual" "$value"; } || applies=no ;;
                !=) { [ -n "$actual" ] && matches "$actual" "$value"; } && applies=no ;;
                *) fail "$key assigned: $operator"; return ;;
            esac
        done <<<"$keys"
        [ "$applies" = yes ] || continue
        while IFS='|' read -r key name operator value; do
            case $key in
                MODE) mode=$value ;;
                GROUP) group=$value ;;
                TAG) tags+="$value " ;;
            esac
        done <<<"$keys"
    done
    echo "${mode:--} ${group:--} ${tags:--}"
}

GRANTED="0660 plugdev uaccess "
DENIED="- - -"
# subsystem | device type | vendor | product | product string ("" for none) | expected
cases=(
    "usb|usb_device|0403|6010|Vexil USB-SPI Cable|$GRANTED"
    "usb|usb_device|0403|6011|Vexil Quad Cable|$GRANTED"
    "usb|usb_device|0403|6014|Vexil|$GRANTED"
    "usb|usb_device|0403|6010|Dual RS232-HS|$DENIED"
    "usb|usb_device|0403|6014|Single RS232-HS|$DENIED"
    "usb|usb_device|0403|6010|vexil USB-SPI Cable|$DENIED"
    "usb|usb_device|0403|6010| Vexil USB-SPI Cable|$DENIED"
    "usb|usb_device|0403|6010|A Vexil cable|$DENIED"
    "usb|usb_device|0403|6010||$DENIED"
    "usb|usb_device|0403|6001|Vexil USB-SPI Cable|$DENIED"
    "usb|usb_device|0403|6015|Vexil USB-SPI Cable|$DENIED"
    "usb|usb_device|0404|6010|Vexil USB-SPI Cable|$DENIED"
    "usb|usb_device|1403|6010|Vexil USB-SPI Cable|$DENIED"
    "usb|usb_interface|0403|6010|Vexil USB-SPI Cable|$DENIED"
    "tty||0403|6010|Vexil USB-SPI Cable|$DENIED"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r subsystem devtype vendor product name expected <<<"$entry"
    got=$(apply "$subsystem" "$devtype" "$vendor" "$product" "$name")
    [ "$got" = "$expected" ] || fail "$entry: the rules give \"$got\""
done

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$rules"): ${#ruleKeys[@]} rules; ${#cases[@]} devices granted or left alone as expected"
