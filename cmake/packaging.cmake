# What `cmake --install` puts where, and the packages CPack makes of it: on Linux a .tar.gz and a
# .deb with the programs in bin/ and the user guide in share/doc/gyro_motor/; from the mingw build
# a zip that a Windows bench PC unpacks into one folder, the programs beside the guide.
include(GNUInstallDirs)

set(GM_INSTALLED_PROGRAMS gyro_motor gyro_motor_plot gyro_motor_report gyro_motor_history
                          gyro_motor_station gyro_motor_params gyro_motor_home)
if(TARGET gyro_motor_sim)
    list(APPEND GM_INSTALLED_PROGRAMS gyro_motor_sim)
endif()

if(WIN32)
    set(GM_INSTALL_PROGRAM_DIR .)
    set(GM_INSTALL_GUIDE_DIR .)
else()
    set(GM_INSTALL_PROGRAM_DIR ${CMAKE_INSTALL_BINDIR})
    set(GM_INSTALL_GUIDE_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS ${GM_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${GM_INSTALL_PROGRAM_DIR})
# The guide keeps its pages and pictures in docs/ beside it, so its links hold where it lands.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${GM_INSTALL_GUIDE_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${GM_INSTALL_GUIDE_DIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

set(CPACK_PACKAGE_NAME gyro_motor)
set(CPACK_PACKAGE_VENDOR "gyro_motor")
set(CPACK_PACKAGE_CONTACT "gyro_motor developers <gyro_motor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Bench test of a gyro on a motor-turned platform, with a simulator, plot and report")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR TGZ DEB)
    string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} CPACK_SYSTEM_NAME)
    # Debian package names take no underscore.
    set(CPACK_DEBIAN_PACKAGE_NAME gyro-motor)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION science)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # The plot and report programs draw with gnuplot; without it they still write their tables.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
