# Writes OUT: a C++ file holding IN's bytes as pellucor::assets::SYMBOL.
file(READ ${IN} _hex HEX)
string(LENGTH "${_hex}" _len)
math(EXPR _bytes "${_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _arr "${_hex}")
file(WRITE ${OUT}
"#include <string_view>\n"
"namespace pellucor::assets {\n"
"namespace { constexpr char kData[] = {${_arr} '\\0'}; }\n"
"extern const std::string_view ${SYMBOL};\n"
"const std::string_view ${SYMBOL}{kData, ${_bytes}};\n"
"}\n")
