# Link options that only some linkers have (GNU ld, gold, lld and mold do;
# macOS's ld64 does not).  Each is asked of the linker once, at configure
# time, and a target gets an option only where the linker takes it:
#
#   platform_link_needed_only(target)      --as-needed
#   platform_export_map(target map)        --version-script=map
#   platform_no_undefined(target)          --no-undefined
#   platform_wrap(target sym ...)          --wrap=sym each (test seams)
#
# PLATFORM_LINKER_WRAP tells whether the last one can be had at all: the
# test binaries whose seams need it are left out where it cannot.
include(CheckLinkerFlag)

check_linker_flag(CXX "LINKER:--as-needed" PLATFORM_LINKER_AS_NEEDED)
check_linker_flag(CXX "LINKER:--no-undefined" PLATFORM_LINKER_NO_UNDEFINED)
check_linker_flag(CXX "LINKER:--wrap=platform_check_symbol" PLATFORM_LINKER_WRAP)
# A version script of its own: the library's names one that the check's
# program does not define, which newer linkers refuse.
set(platform_check_map ${CMAKE_BINARY_DIR}/CMakeFiles/platform-check.map)
file(WRITE ${platform_check_map} "PLATFORM_CHECK { global: main; local: *; };\n")
check_linker_flag(CXX "LINKER:--version-script=${platform_check_map}" PLATFORM_LINKER_VERSION_SCRIPT)

# Only the libraries a target calls into are recorded as needed at run time.
function(platform_link_needed_only target)
  if(PLATFORM_LINKER_AS_NEEDED)
    target_link_options(${target} PRIVATE "LINKER:--as-needed")
  endif()
endfunction()

# The shared library exports what the map lists, under its version node.
# Without the option every default-visible symbol is exported unversioned.
function(platform_export_map target map)
  if(PLATFORM_LINKER_VERSION_SCRIPT)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  else()
    message(STATUS "${target}: the linker takes no version script; its symbols are not versioned")
  endif()
endfunction()

# Every symbol a shared library needs must come from its own dependencies.
function(platform_no_undefined target)
  if(PLATFORM_LINKER_NO_UNDEFINED)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()

# Calls of each sym from the target's own objects go to __wrap_sym.
function(platform_wrap target)
  if(NOT PLATFORM_LINKER_WRAP)
    message(FATAL_ERROR "${target}: the linker cannot wrap symbols (check PLATFORM_LINKER_WRAP first)")
  endif()
  foreach(sym IN LISTS ARGN)
    target_link_options(${target} PRIVATE "LINKER:--wrap=${sym}")
  endforeach()
endfunction()
