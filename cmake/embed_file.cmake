# Writes INPUT as a byte array (app_icon_png, app_icon_png_size) into OUTPUT.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "#include <cstddef>\nextern const unsigned char app_icon_png[] = {${bytes}};\nextern const std::size_t app_icon_png_size = ${size};\n")
