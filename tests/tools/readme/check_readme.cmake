# Runs every example of the README marked
#     <!-- output of: PROGRAM ARG... -->
# right above a fenced block, and compares what the program prints on standard output with the
# block. PROGRAM is kest or drx; each runs in an empty directory. What varies from run to run is
# masked on both sides before the comparison:
#   - host="..." paths become host="...";
#   - lines that come or not depending on timing are left out: the monitor thread's own lines and
#     the download's progress short of its end;
#   - a line repeated right after itself counts once (the retries while the data port comes up);
#   - the library's status and state lines come from its two threads and interleave with the
#     tool's lines, so they are compared as a sorted list; the tool's own lines (result:,
#     progress:) in their order.
#
#   -DREADME=file -DKEST=path -DDRX=path -DWORKDIR=dir
cmake_minimum_required(VERSION 3.25)

set(kTimingLines
    "status: StartMonitorThread()" "status: monitor()" "status: Waiting for comm event ..."
    "status: EV_TXEMPTY event" "status: EV_RXCHAR event")

# The lines of `text` (one string) as a list, masked.
function(masked text out)
    string(REPLACE ";" "\\;" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(result "")
    set(library "")
    set(previous "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "host=\"[^\"]*\"" "host=\"...\"" line "${line}")
        if(line STREQUAL "" OR line IN_LIST kTimingLines OR line STREQUAL previous)
            continue()
        endif()
        if(line MATCHES "^progress: ([0-9]+)/([0-9]+) bytes$" AND
           NOT CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_2)
            continue()
        endif()
        if(line MATCHES "^(status|state): ")
            list(APPEND library "${line}")
        else()
            list(APPEND result "${line}")
        endif()
        set(previous "${line}")
    endforeach()
    list(SORT library)
    list(APPEND result "--- library lines, sorted:" ${library})
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

file(STRINGS ${README} readme ENCODING UTF-8)
set(failures "")
set(examples 0)
set(command "")
set(inBlock FALSE)
foreach(line IN LISTS readme)
    if(line MATCHES "^<!-- output of: (kest|drx) (.*) -->$")
        set(program ${CMAKE_MATCH_1})
        set(command "${CMAKE_MATCH_2}")
    elseif(command AND NOT inBlock AND line MATCHES "^```")
        set(inBlock TRUE)
        set(expected "")
    elseif(inBlock AND line MATCHES "^```")
        math(EXPR examples "${examples} + 1")
        string(TOUPPER ${program} variable)
        separate_arguments(arguments UNIX_COMMAND "${command}")
        file(REMOVE_RECURSE ${WORKDIR})
        file(MAKE_DIRECTORY ${WORKDIR})
        execute_process(COMMAND ${${variable}} ${arguments} WORKING_DIRECTORY ${WORKDIR}
            OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code TIMEOUT 60)
        masked("${out}" got)
        masked("${expected}" wanted)
        if(NOT got STREQUAL wanted)
            string(REPLACE ";" "\n" got "${got}")
            string(REPLACE ";" "\n" wanted "${wanted}")
            string(APPEND failures "${program} ${command} (exit ${code}), masked:\n"
                "--- README\n${wanted}\n--- printed\n${got}\n${err}\n")
        endif()
        set(inBlock FALSE)
        set(command "")
    elseif(inBlock)
        string(APPEND expected "${line}\n")
    endif()
endforeach()

if(examples EQUAL 0)
    string(APPEND failures "no example marked in ${README}\n")
endif()
if(failures)
    message(FATAL_ERROR "${failures}")
endif()
