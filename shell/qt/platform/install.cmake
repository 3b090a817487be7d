# Installs a desktop edition's desktop integration on Linux:
#
#   flashtool_install_desktop(<edition target> <desktop entry>)
#
# puts its desktop entry in share/applications (Exec naming the program as installed in bin/),
# the ".mot" MIME type in share/mime/packages and the icons in share/icons/hicolor, then
# refreshes the desktop's MIME, application and icon databases, so the file manager opens ".mot"
# files with the program. The entry is one of this folder's .desktop files, by name or by path.
# The program itself is installed by install(TARGETS ... RUNTIME DESTINATION bin); all of it is the
# desktop component (the flashtool-desktop package). Elsewhere this
# does nothing: Windows registers the file type when the program runs (FileTypes.h).
include_guard(GLOBAL)

function(flashtool_install_desktop target desktop_entry)
    if(NOT (UNIX AND NOT APPLE))
        return()
    endif()

    set(here ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    cmake_path(ABSOLUTE_PATH desktop_entry BASE_DIRECTORY ${here})
    if(NOT EXISTS ${desktop_entry})
        message(FATAL_ERROR "flashtool_install_desktop: no desktop entry ${desktop_entry}")
    endif()
    cmake_path(GET desktop_entry FILENAME entry_name)

    # The type and the icons are shared by both editions.
    get_property(shared_installed GLOBAL PROPERTY FLASHTOOL_DESKTOP_SHARED_INSTALLED)
    if(NOT shared_installed)
        get_property(icon_dir GLOBAL PROPERTY FLASHTOOL_ICON_DIR)
        if(NOT icon_dir)
            message(FATAL_ERROR "flashtool_install_desktop: add shell/qt/platform first")
        endif()
        set_property(GLOBAL PROPERTY FLASHTOOL_DESKTOP_SHARED_INSTALLED TRUE)
        install(FILES ${here}/flashtool-mot.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
            COMPONENT desktop)
        install(DIRECTORY ${icon_dir}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons
            COMPONENT desktop)
    endif()

    install(CODE "
        set(FLASHTOOL_ENTRY_SOURCE \"${desktop_entry}\")
        set(FLASHTOOL_ENTRY_NAME \"${entry_name}\")
        set(FLASHTOOL_PROGRAM \"$<TARGET_FILE_NAME:${target}>\")
        include(\"${here}/install_desktop_entry.cmake\")
    " COMPONENT desktop)
endfunction()
