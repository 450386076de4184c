# Runs drx once with the given arguments and standard input and compares its standard output,
# line by line, with the expected file, and its exit code with EXIT.
#   -DDRX=path  -DARGS=a|b|c  [-DINPUT=file]  -DEXPECT=file  [-DEXIT=n (0)]
#   [-DERROR=text]  standard error contains the text
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" arguments "${ARGS}")
set(input_args)
if(INPUT)
    set(input_args INPUT_FILE ${INPUT})
endif()
if(NOT EXIT)
    set(EXIT 0)
endif()
execute_process(COMMAND ${DRX} ${arguments} ${input_args}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code TIMEOUT 60)
file(READ ${EXPECT} expected)
if(NOT code STREQUAL EXIT)
    message(FATAL_ERROR "drx exited with ${code}, expected ${EXIT}\n${out}${err}")
endif()
if(ERROR)
    string(FIND "${err}" "${ERROR}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "standard error lacks: ${ERROR}\n--- got\n${err}")
    endif()
endif()
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "output differs\n--- expected\n${expected}--- got\n${out}${err}")
endif()
