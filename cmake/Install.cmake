# Installing as a desktop application: the program in bin, the editor library
# in lib, the help page in share/tallowin (where the program looks when it is
# not beside it), an icon and a menu entry. Included by src/ once the program
# and the library exist.
include(GNUInstallDirs)

# The program imports the editor library at start even while nothing calls
# into it yet; without this the linker would drop it from the needed list.
target_link_options(tallowin PRIVATE LINKER:--no-as-needed)

# Found beside the program in the build tree, in lib when installed, wherever
# the prefix is.
file(RELATIVE_PATH tallowin_lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(tallowin PROPERTIES
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN/${tallowin_lib_from_bin}")

install(TARGETS tallowin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TALLOWIN_HELP_PAGE} DESTINATION ${CMAKE_INSTALL_DATADIR}/tallowin)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/resources/tallowin.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/resources/tallowin.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
