# Link options for an extension module that must load on Linux systems other
# than the one that built it, into interpreters that load other extensions
# beside it.
#
#   quorvel_release_options(target)
#
# - Only the module's PyInit_* function is exported. Everything else, the
#   C++ runtime linked into the module included, stays local, so it can
#   neither clash with another extension's copy nor be interposed by one.
# - libstdc++ and libgcc are linked statically, so the module needs no newer
#   C++ runtime than the target system has, and glibc is its only external
#   dependency.
# - Release builds are stripped.
#
# A sanitizer build keeps the shared C++ runtime and its symbols: the
# sanitizer runtimes replace operator new and delete by interposition, which
# a runtime linked in and bound locally would bypass.

function(quorvel_release_options target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(QUORVEL_SANITIZE OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
  endif()

  set(exports "${CMAKE_BINARY_DIR}/quorvel-module-exports.map")
  file(CONFIGURE OUTPUT "${exports}" CONTENT "{\n  global: PyInit_*;\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${exports}"
    -static-libstdc++
    -static-libgcc
    $<$<CONFIG:Release,MinSizeRel>:-s>)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
endfunction()
