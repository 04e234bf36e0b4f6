# The folders' direction: each may use only the folders before it in SCANLINK_LAYERS. Two checks
# make a wrong-way use fail the build: an include of a later folder, and a layer that does not
# link on its own with only the layers below it (a call that no include shows).
add_custom_target(scanlink_layer_includes ALL
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src "-DLAYERS=${SCANLINK_LAYERS}"
          -P ${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake
  COMMENT "Checking the folders' include direction" VERBATIM)

# Instrumented objects call into runtimes linked only into programs.
if(SCANLINK_SANITIZE STREQUAL "" AND NOT SCANLINK_BUILD_FUZZ)
  set(_below "")
  foreach(_layer IN LISTS SCANLINK_LAYERS)
    list(APPEND _below $<TARGET_OBJECTS:scanlink_${_layer}>)
    add_library(scanlink_layer_${_layer} SHARED ${_below})
    # Out of the way of the libraries applications and tests load.
    set_target_properties(scanlink_layer_${_layer} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/layer-check
      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/layer-check
      ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/layer-check)
    target_link_libraries(scanlink_layer_${_layer} PRIVATE Threads::Threads)
    if(WIN32)
      target_link_libraries(scanlink_layer_${_layer} PRIVATE ws2_32)
    else()
      target_link_options(scanlink_layer_${_layer} PRIVATE -Wl,--no-undefined)
    endif()
  endforeach()
endif()
