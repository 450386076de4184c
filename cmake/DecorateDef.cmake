# Writes a module-definition file for 32-bit x86, where each __stdcall function's symbol carries
# its argument bytes (KEST_Open is the symbol _KEST_Open@12): every undecorated name of the
# EXPORTS section becomes name@N, N read from the symbols of the given objects, which define the
# DLL's exports or call the imports. A name the objects know only undecorated (__cdecl) stays as
# it is; a name they do not know at all is an error. Linked with --kill-at (or dlltool -k), the
# DLL exports, or the import library imports, the undecorated name, while its callers' references
# are to the decorated symbol: nothing rests on the linker's stdcall fix-ups.
#   cmake -DNM=<nm> -DDEF=<input .def> -DOUTPUT=<output .def> "-DOBJECTS=<obj>[|<obj>...]"
#         -P DecorateDef.cmake
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} ${objects} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${objects}")
endif()

file(STRINGS ${DEF} lines)
set(output "; Made from ${DEF} by DecorateDef.cmake.\n")
set(in_exports FALSE)
foreach(line IN LISTS lines)
    string(REGEX REPLACE ";.*" "" entry "${line}")
    string(STRIP "${entry}" entry)
    if(entry STREQUAL "EXPORTS")
        set(in_exports TRUE)
    elseif(in_exports AND entry MATCHES "^([A-Za-z_][A-Za-z0-9_]*)(.*)$")
        set(name ${CMAKE_MATCH_1})
        set(rest "${CMAKE_MATCH_2}")
        if(symbols MATCHES "[ \t]_${name}(@[0-9]+)\n")
            set(line "    ${name}${CMAKE_MATCH_1}${rest}")
        elseif(NOT symbols MATCHES "[ \t]_${name}\n")
            message(FATAL_ERROR "${DEF}: no symbol for ${name} in ${objects}")
        endif()
    endif()
    string(APPEND output "${line}\n")
endforeach()
file(WRITE ${OUTPUT}.new "${output}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
