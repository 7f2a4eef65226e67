# Fails unless PROGRAM imports only DLLs that every Windows machine has, so that the .exe runs
# when copied alone to a bench PC (no libstdc++, libgcc or winpthread DLLs).
# Usage: cmake -DOBJDUMP=... -DPROGRAM=... -P check_imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${result}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports)
    message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll_lower)
    if(NOT dll_lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
        message(FATAL_ERROR "${PROGRAM} needs ${dll}, which a bare Windows machine lacks")
    endif()
    message(STATUS "imports ${dll}")
endforeach()
