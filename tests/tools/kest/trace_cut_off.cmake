# Runs kest with a script that leaves a frame cut off twice and checks the wire trace: the
# first is shown when its port closes, stamped with the time its last bytes came (well before
# the close: the script waits 1.5 s in between), the second, whose port never closes, at the
# end of the trace.
#   -DKEST=path  -DINPUT=script  -DWORKDIR=dir
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
execute_process(COMMAND ${KEST} --quiet --root ce-root --trace trace.txt shell
    INPUT_FILE ${INPUT} WORKING_DIRECTORY ${WORKDIR} OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
file(STRINGS ${WORKDIR}/trace.txt lines)

set(cut_off_stamps)
set(close_stamp "")
foreach(line IN LISTS lines)
    if(line MATCHES "^([0-9]+)\\.[0-9]+ < .* does not decode: cut off after")
        list(APPEND cut_off_stamps ${CMAKE_MATCH_1})
    elseif(line MATCHES "^([0-9]+)\\.[0-9]+ COM2: closed" AND close_stamp STREQUAL "")
        set(close_stamp ${CMAKE_MATCH_1})
    endif()
endforeach()

string(REPLACE ";" "\n" trace "${lines}")
if(NOT cut_off_stamps OR close_stamp STREQUAL "")
    message(FATAL_ERROR "expected a cut-off frame and a close of COM2:\n${trace}")
endif()
list(GET cut_off_stamps 0 first)
math(EXPR gap "${close_stamp} - ${first}")
if(gap LESS 1000)
    message(FATAL_ERROR "the first cut-off frame is stamped ${gap} ms before its port's close, "
        "not when its bytes came\n${trace}")
endif()
list(LENGTH cut_off_stamps count)
if(NOT count EQUAL 2)
    message(FATAL_ERROR "the frame cut off on a port still open is not shown\n${trace}")
endif()
