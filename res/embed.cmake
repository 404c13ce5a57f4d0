# Writes a C++ source holding the bytes of a file: a function FUNCTION (default
# CompiledResources) in kv27::res, declared in HEADER (default
# res/compiled_resources.h).
#   cmake -DINPUT=file.res -DOUTPUT=file.cpp [-DFUNCTION=Name -DHEADER=res/x.h] -P embed.cmake
if(NOT FUNCTION)
  set(FUNCTION CompiledResources)
endif()
if(NOT HEADER)
  set(HEADER res/compiled_resources.h)
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by res/embed.cmake; do not edit.
#include \"${HEADER}\"

namespace kv27::res {
namespace {
const std::uint8_t kBytes[${size}] = {
${bytes}};
}  // namespace

std::pair<const std::uint8_t*, std::size_t> ${FUNCTION}() { return {kBytes, sizeof kBytes}; }

}  // namespace kv27::res
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
