# Turns the two Intel HEX images into a C++ source holding their lines.
function(lines_of file var)
  # NO_HEX_CONVERSION: file(STRINGS) would otherwise decode Intel HEX into binary itself.
  file(STRINGS ${file} lines NO_HEX_CONVERSION)
  set(body "")
  foreach(l ${lines})
    string(STRIP "${l}" l)
    if(NOT l STREQUAL "")
      string(APPEND body "        \"${l}\",\n")
    endif()
  endforeach()
  set(${var} "${body}" PARENT_SCOPE)
endfunction()
lines_of(${BOOT} BOOT_LINES)
lines_of(${FLSH} FLSH_LINES)
file(WRITE ${OUT} "// Generated from resources/MemoBoot.h86 and resources/MemoFlshCode.h86; do not edit.
#include \"firmware/BuiltinImages.h\"

const std::vector<std::string>& MemoBootLines() {
    static const std::vector<std::string> lines = {
${BOOT_LINES}    };
    return lines;
}

const std::vector<std::string>& MemoFlshCodeLines() {
    static const std::vector<std::string> lines = {
${FLSH_LINES}    };
    return lines;
}
")
