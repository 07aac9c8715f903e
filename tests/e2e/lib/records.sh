# Control-file records as the hex jxproc takes: little-endian words, names in
# zero-padded fields, and the bridge file's 40-byte port record.

le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
# A name in a field of n bytes, zero-padded.
name_field() {
    local hex
    hex=$(printf '%s' "$1" | od -An -tx1 | tr -d ' \n')
    while [ ${#hex} -lt $(($2 * 2)) ]; do hex=${hex}00; done
    printf '%s' "$hex"
}
# The port record: name, slot (4294967295: the first free one), kind, BLL number.
port_request() { printf '%s000000%s%s%s%s%s' "$(name_field "$1" 17)" "$(le32 "$2")" "$(le32 "$3")" "$(le32 "$4")" "$(le32 0)" "$(le32 0)"; }
