# Run as a build step (cmake -P): writes OUTPUT, a C++ file that defines the bytes of INPUT as
# `const char NAME[]` (with a zero byte after them) and their number as `const size_t NAME_size`.
cmake_minimum_required(VERSION 3.25)
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT}.tmp "#include <cstddef>\nextern const char ${NAME}[] = {${bytes}0};\n"
     "extern const size_t ${NAME}_size = ${size};\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
