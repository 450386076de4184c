# Runs drx once with the given arguments and standard input and compares its standard output,
# line by line, with the expected file.
#   -DDRX=path  -DARGS=a|b|c  [-DINPUT=file]  -DEXPECT=file
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" arguments "${ARGS}")
set(input_args)
if(INPUT)
    set(input_args INPUT_FILE ${INPUT})
endif()
execute_process(COMMAND ${DRX} ${arguments} ${input_args}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code TIMEOUT 60)
file(READ ${EXPECT} expected)
if(NOT code EQUAL 0)
    message(FATAL_ERROR "drx exited with ${code}\n${err}")
endif()
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "output differs\n--- expected\n${expected}--- got\n${out}${err}")
endif()
