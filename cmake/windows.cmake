# Windows (mingw-w64 cross build): scanlink.dll with its import library libscanlink.dll.a, the
# tests' DLL, GoogleTest built from source, and the tests run through the emulator (Wine).

# Programs and DLLs side by side, so every program finds its DLL.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

set_target_properties(scanlink PROPERTIES PREFIX "" IMPORT_PREFIX "lib"
                      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
target_link_libraries(scanlink PRIVATE ws2_32)
target_link_libraries(scanlink_core PUBLIC ws2_32)
target_compile_definitions(scanlink_core INTERFACE SCANLINK_BUILDING)

if(SCANLINK_BUILD_TESTS)
  # The tests reach internal units as well as the API. They link a DLL made of the same objects
  # as scanlink.dll that also exports those units, so every call, callback and exported variable
  # crosses a DLL boundary exactly as in an application.
  add_library(scanlink_testing SHARED ${SCANLINK_LAYER_OBJECTS})
  set_target_properties(scanlink_testing PROPERTIES PREFIX "" OUTPUT_NAME scanlink-testing
                        IMPORT_PREFIX "lib" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  target_include_directories(scanlink_testing PUBLIC ${PROJECT_SOURCE_DIR}/include
                             ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(scanlink_testing PUBLIC _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_libraries(scanlink_testing PUBLIC Threads::Threads ws2_32)
  target_link_options(scanlink_testing PRIVATE -Wl,--export-all-symbols -Wl,--exclude-libs,ALL)
  set(SCANLINK_TEST_LIBRARY scanlink_testing)
endif()

# The header-only JSON and command-line libraries of the host (Debian's packages), each through a
# folder of its own: the host's /usr/include as a whole must never reach the cross compiler.
foreach(_lib nlohmann CLI)
  if(EXISTS /usr/include/${_lib})
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/host-headers/${_lib})
    file(CREATE_LINK /usr/include/${_lib} ${PROJECT_BINARY_DIR}/host-headers/${_lib}/${_lib}
         SYMBOLIC)
  endif()
endforeach()
if(EXISTS /usr/include/nlohmann/json.hpp)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/host-headers/nlohmann)
endif()
if(EXISTS /usr/include/CLI/CLI.hpp)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/host-headers/CLI)
endif()

# The integration tests against the simulator drive a native simulator built by a native build
# (scripts/test-windows.sh makes one); the test side needs only the header-only JSON library.
set(SCANLINK_WINDOWS_SIM "" CACHE FILEPATH "scanlink-sim of a native build, for the tests")
if(SCANLINK_BUILD_TESTS AND SCANLINK_WINDOWS_SIM AND TARGET nlohmann_json::nlohmann_json)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${PROJECT_BINARY_DIR}/tests/support)
  target_compile_definitions(scanlink_simpeer PUBLIC SCANLINK_SIM_PATH="${SCANLINK_WINDOWS_SIM}")
endif()

if(SCANLINK_BUILD_TESTS AND NOT TARGET GTest::gtest)
  set(SCANLINK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian googletest)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # Its own build defines the GTest:: targets the tests link.
  add_subdirectory(${SCANLINK_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# For applications built with MSVC: scanlink.lib, an import library of the C interface beside
# scanlink.dll, made with dlltool from scanlink.def, the module-definition file of the functions
# scanlink_c.h declares (undecorated cdecl names on 32-bit Windows).
set(_header ${PROJECT_SOURCE_DIR}/include/scanlink/scanlink_c.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_header})
file(STRINGS ${_header} _declarations REGEX "SCANLINK_CALL scanlink_[a-z0-9_]+\\(")
set(_def "LIBRARY scanlink.dll\nEXPORTS\n")
foreach(_line IN LISTS _declarations)
  string(REGEX MATCH "SCANLINK_CALL (scanlink_[a-z0-9_]+)\\(" _ "${_line}")
  string(APPEND _def "  ${CMAKE_MATCH_1}\n")
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/bin/scanlink.def CONTENT "${_def}")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^i.86$")
  set(_machine i386)
else()
  set(_machine i386:x86-64)
endif()
find_program(SCANLINK_DLLTOOL NAMES ${SCANLINK_MINGW_TRIPLET}-dlltool dlltool REQUIRED)
add_custom_command(TARGET scanlink POST_BUILD
  COMMAND ${SCANLINK_DLLTOOL} -m ${_machine} -D scanlink.dll -d scanlink.def -l scanlink.lib
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/bin VERBATIM)
install(FILES ${PROJECT_BINARY_DIR}/bin/scanlink.lib ${PROJECT_BINARY_DIR}/bin/scanlink.def
        DESTINATION ${CMAKE_INSTALL_BINDIR})
