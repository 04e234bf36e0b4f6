# The library needs a compiler, CMake and the threads library only. The tools and the tests need
# Debian packages; when those are missing the part is switched off with a message, so that the
# library still configures, builds and installs. (A plain variable shadows the cache option: a
# later configure, once the packages are installed, builds the part again.)

# On Windows only plain C++ tools are built (tools/CMakeLists.txt), and GoogleTest comes from
# source (cmake/windows.cmake).
if(SCANLINK_BUILD_TOOLS AND NOT WIN32)
  set(_scanlink_missing "")
  find_package(CLI11 QUIET)
  if(NOT CLI11_FOUND)
    list(APPEND _scanlink_missing "CLI11 (libcli11-dev)")
  endif()
  find_package(nlohmann_json 3 QUIET)
  if(NOT nlohmann_json_FOUND)
    list(APPEND _scanlink_missing "nlohmann-json (nlohmann-json3-dev)")
  endif()
  if(_scanlink_missing)
    list(JOIN _scanlink_missing ", " _scanlink_missing)
    message(WARNING "scanlink: the tools are not built: missing ${_scanlink_missing}. "
                    "The library is built; install the packages (scripts/bootstrap.sh) and "
                    "configure again for the tools, or pass -DSCANLINK_BUILD_TOOLS=OFF.")
    set(SCANLINK_BUILD_TOOLS OFF)
  endif()
endif()

if(SCANLINK_BUILD_TESTS AND NOT TARGET GTest::gtest)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(WARNING "scanlink: the tests are not built: missing GoogleTest (libgtest-dev, "
                    "libgmock-dev). The library is built; install the packages "
                    "(scripts/bootstrap.sh) and configure again for the tests, or pass "
                    "-DSCANLINK_BUILD_TESTS=OFF.")
    set(SCANLINK_BUILD_TESTS OFF)
  endif()
endif()

# The benchmarks need nothing more; bench_decode alone needs Google Benchmark and is left out
# without it (bench/CMakeLists.txt).

unset(_scanlink_missing)
