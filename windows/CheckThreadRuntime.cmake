# Checks that a DLL carries no thread library of its own and takes no TLS slot: it imports no
# TlsAlloc and holds none of winpthreads' strings (its source paths and names).
#   cmake -DOBJDUMP=<objdump> "-DLIBRARIES=<dll>[|<dll>...]" -P CheckThreadRuntime.cmake
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" libraries "${LIBRARIES}")
set(problems)
foreach(dll IN LISTS libraries)
    execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} -p ${dll} failed")
    endif()
    # The import table's lines are "<hint-name RVA> <hint> <name>".
    if(dump MATCHES "\n[ \t]+[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+TlsAlloc\n")
        list(APPEND problems "${dll}: imports TlsAlloc")
    endif()
    file(STRINGS ${dll} pthread_strings REGEX "winpthread|pthread_")
    if(pthread_strings)
        list(GET pthread_strings 0 first)
        list(APPEND problems "${dll}: holds winpthreads' strings (${first} ...)")
    endif()
    message(STATUS "${dll}: checked")
endforeach()
if(problems)
    list(JOIN problems "\n" report)
    message(FATAL_ERROR "${report}")
endif()
