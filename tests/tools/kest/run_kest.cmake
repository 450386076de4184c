# Runs the kest tool once and checks what it did. Output lines are checked, not the whole
# transcript: status texts come from the library's threads and interleave with the rest.
#
#   -DKEST=path        the program
#   -DARGS=a|b|c       its arguments, separated by |
#   -DINPUT=file       standard input (optional)
#   -DEXPECT=file      the checks, one a line:
#                        LINE        an output line, in this order relative to the other LINEs
#                        ? REGEX     as LINE, for an output line that matches the whole REGEX
#                        ~ LINE      an output line, anywhere
#                        !~ PREFIX   no output line starts with PREFIX
#                        2> TEXT     standard error contains TEXT
#                        exit N      the exit code (0 unless given)
#   -DWORKDIR=dir      where it runs; emptied first, so that no earlier run's files remain
#   -DROOT=dir         what @ROOT@ stands for in the checks (optional)
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" arguments "${ARGS}")
set(input_args)
if(INPUT)
    set(input_args INPUT_FILE ${INPUT})
endif()
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
execute_process(COMMAND ${KEST} ${arguments} ${input_args}
    WORKING_DIRECTORY ${WORKDIR}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code
    TIMEOUT 60)

string(REPLACE ";" "\\;" escaped_out "${out}")
string(REPLACE "\n" ";" lines "${escaped_out}")

set(failures "")
set(expected_exit 0)
set(position 0)
list(LENGTH lines line_count)
file(STRINGS ${EXPECT} checks ENCODING UTF-8)
foreach(check IN LISTS checks)
    if(ROOT)
        string(REPLACE "@ROOT@" "${ROOT}" check "${check}")
    endif()
    if(check STREQUAL "" OR check MATCHES "^#")
        continue()
    elseif(check MATCHES "^exit ([0-9]+)$")
        set(expected_exit ${CMAKE_MATCH_1})
    elseif(check MATCHES "^2> (.*)$")
        string(FIND "${err}" "${CMAKE_MATCH_1}" at)
        if(at EQUAL -1)
            string(APPEND failures "standard error lacks: ${CMAKE_MATCH_1}\n")
        endif()
    elseif(check MATCHES "^!~ (.*)$")
        set(prefix "${CMAKE_MATCH_1}")
        string(LENGTH "${prefix}" prefix_length)
        foreach(line IN LISTS lines)
            string(SUBSTRING "${line}" 0 ${prefix_length} head)
            if(head STREQUAL prefix)
                string(APPEND failures "unwanted line: ${line}\n")
            endif()
        endforeach()
    elseif(check MATCHES "^~ (.*)$")
        list(FIND lines "${CMAKE_MATCH_1}" at)
        if(at EQUAL -1)
            string(APPEND failures "missing line: ${CMAKE_MATCH_1}\n")
        endif()
    else()
        # A line that is missing does not use up the lines after the last one found.
        set(pattern "")
        if(check MATCHES "^\\? (.*)$")
            set(pattern "^${CMAKE_MATCH_1}$")
        endif()
        set(found FALSE)
        set(start ${position})
        while(position LESS line_count)
            list(GET lines ${position} line)
            math(EXPR position "${position} + 1")
            if((pattern AND line MATCHES "${pattern}") OR (NOT pattern AND line STREQUAL check))
                set(found TRUE)
                break()
            endif()
        endwhile()
        if(NOT found)
            string(APPEND failures "missing, or out of order: ${check}\n")
            set(position ${start})
        endif()
    endif()
endforeach()

if(NOT code STREQUAL expected_exit)
    string(APPEND failures "exit code ${code}, expected ${expected_exit}\n")
endif()
if(failures)
    message(FATAL_ERROR "${failures}--- standard output:\n${out}--- standard error:\n${err}")
endif()
