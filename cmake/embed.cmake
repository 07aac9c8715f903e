# cmake -DIN=file -DOUT=file.inc -P embed.cmake: the bytes of IN as a C array
# body, so that a compiler cache sees the contents, not only the file's name.
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" body "${body}")
file(WRITE "${OUT}.tmp" "${body}\n")
file(RENAME "${OUT}.tmp" "${OUT}")
