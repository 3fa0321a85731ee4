# What an integrator installs: the library with its version and soname, the header, a
# pkg-config file and a CMake package for hosts that link it, and the three tools. The
# tools are also built beside the library, where flb-host looks for it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FLB_VERSION ${PROJECT_VERSION})
set(FLB_SOVERSION ${PROJECT_VERSION_MAJOR})

if(NOT WIN32)
  set_target_properties(flyerbank PROPERTIES VERSION ${FLB_VERSION} SOVERSION ${FLB_SOVERSION})
endif()
target_include_directories(flyerbank INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(flyerbank PROPERTIES PUBLIC_HEADER ${CMAKE_SOURCE_DIR}/include/flyerbank.h)

install(TARGETS flyerbank EXPORT FlyerbankTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The prefix is only known at install time (--prefix), so both files find it from
# where they lie.
set(FLB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Flyerbank)
install(EXPORT FlyerbankTargets NAMESPACE Flyerbank:: DESTINATION ${FLB_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/FlyerbankConfig.cmake.in
  ${CMAKE_BINARY_DIR}/FlyerbankConfig.cmake INSTALL_DESTINATION ${FLB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/FlyerbankConfigVersion.cmake
  VERSION ${FLB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/FlyerbankConfig.cmake ${CMAKE_BINARY_DIR}/FlyerbankConfigVersion.cmake
  DESTINATION ${FLB_CMAKE_DIR})

file(RELATIVE_PATH FLB_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/flyerbank.pc.in ${CMAKE_BINARY_DIR}/flyerbank.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/flyerbank.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(tool ads-server avls-server flb-host)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET flb-host AND NOT WIN32)
  # Installed, the library is no longer beside flb-host but in the library folder.
  file(RELATIVE_PATH FLB_BIN_TO_LIB /p/${CMAKE_INSTALL_BINDIR} /p/${CMAKE_INSTALL_LIBDIR})
  target_compile_definitions(flb-host PRIVATE
    FLB_INSTALLED_LIBRARY="${FLB_BIN_TO_LIB}/$<TARGET_SONAME_FILE_NAME:flyerbank>")
endif()
