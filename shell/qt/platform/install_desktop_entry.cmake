# Run at install time for flashtool_install_desktop (install.cmake): writes the desktop entry
# with Exec naming the installed program, then refreshes the desktop's databases.
# In: FLASHTOOL_ENTRY_SOURCE, FLASHTOOL_ENTRY_NAME, FLASHTOOL_PROGRAM, CMAKE_INSTALL_PREFIX and
# the DESTDIR environment setting.

set(share "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share")

# Exec quotes the program by its full path, so the entry works whether or not bin/ is on PATH.
# Inside the quotes \ " ` $ take a backslash, the entry's string syntax then doubles every
# backslash, and % is doubled as it would start a field code.
set(program "${CMAKE_INSTALL_PREFIX}/bin/${FLASHTOOL_PROGRAM}")
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "\"" "\\\"" program "${program}")
string(REPLACE "`" "\\`" program "${program}")
string(REPLACE "$" "\\$" program "${program}")
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "%" "%%" program "${program}")

file(READ "${FLASHTOOL_ENTRY_SOURCE}" entry)
string(REGEX MATCH "\nExec=(\"[^\"\n]*\"|[^ \n]+)" exec_program "${entry}")
if(NOT exec_program)
    message(FATAL_ERROR "${FLASHTOOL_ENTRY_SOURCE}: no Exec line")
endif()
string(REPLACE "${exec_program}" "\nExec=\"${program}\"" entry "${entry}")

set(entry_file "${share}/applications/${FLASHTOOL_ENTRY_NAME}")
message(STATUS "Installing: ${entry_file}")
file(WRITE "${entry_file}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${entry_file}")

# A staged install (DESTDIR) leaves this to the package's own triggers.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
    return()
endif()
function(flashtool_refresh tool)
    unset(path)
    find_program(path ${tool} NO_CACHE)
    if(path)
        execute_process(COMMAND ${path} ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
            ERROR_VARIABLE output)
        if(NOT result EQUAL 0)
            message(WARNING "${tool} ${ARGN}: ${result}\n${output}")
        endif()
    endif()
endfunction()
flashtool_refresh(update-mime-database "${share}/mime")
flashtool_refresh(update-desktop-database -q "${share}/applications")
flashtool_refresh(gtk-update-icon-cache -q -t -f "${share}/icons/hicolor")
