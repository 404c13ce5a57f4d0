# Writes a C++ source holding the bytes of a file, for kv_res_data.
#   cmake -DINPUT=file.res -DOUTPUT=file.cpp -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from the compiled resources by res/embed.cmake; do not edit.
#include \"res/compiled_resources.h\"

namespace kv27::res {
namespace {
const std::uint8_t kBytes[${size}] = {
${bytes}};
}  // namespace

std::pair<const std::uint8_t*, std::size_t> CompiledResources() { return {kBytes, sizeof kBytes}; }

}  // namespace kv27::res
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
