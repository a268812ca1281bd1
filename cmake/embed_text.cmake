# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_text.cmake
# Writes a C++ source that holds the file's bytes as
#   extern const char SYMBOL[]; extern const size_t SYMBOL##Size;
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\nextern const char ${SYMBOL}[];\nextern const size_t ${SYMBOL}Size;\nconst char ${SYMBOL}[] = {\n${bytes}'\\0'};\nconst size_t ${SYMBOL}Size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
