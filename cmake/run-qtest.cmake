# Runs a Qt test program under wine and prints its log. Wine hands a Windows program no
# QT_* variable from the environment, and a Qt test's own output to stdout does not come
# through, so the platform is given as an argument and the log goes through a file.
#   cmake -DEMULATOR=wine -DPROGRAM=test.exe -DLOG=name.log -P run-qtest.cmake
file(REMOVE "${LOG}")
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" -platform offscreen -o "${LOG},txt"
                RESULT_VARIABLE status)
if(EXISTS "${LOG}")
    file(READ "${LOG}" text)
    message("${text}")
endif()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ended with ${status}")
endif()
