# Every tree compiles through ccache when it is installed: the presets build
# the same sources in up to ten trees (native, sanitizers, two cross
# compilers, the package), and a second run of the tests, or a CI machine
# that keeps its cache, compiles only what changed.  The cache stays where
# ccache keeps it (its default folder, or CCACHE_DIR).
#
# Trees of the same flags share their objects: the package's tree compiles
# what this machine's tree compiled already.  ccache sees that only when the
# paths it hashes are relative to the source folder, the include paths are
# the same in every tree (the presets' trees share one folder of include
# roots, build/include) and the working folder is not hashed; the price is
# that a debugger finds the sources from the tree that compiled them first.
# A base folder already chosen (CCACHE_BASEDIR, or base_dir in ccache's
# configuration) is kept.
#
# A miss costs only the compile (depend mode: the headers a source read are
# taken from the compiler's own dependency list, never from a second,
# preprocessing run), so a cold cache, as on a fresh CI machine, adds
# little to a build that has no use for it.
#
# The tests and the web server compile with precompiled headers; ccache can
# only take those with the sloppiness below (it cannot see __TIME__ or a
# #define through a precompiled header; this code uses neither).  A launcher
# already chosen (-DCMAKE_CXX_COMPILER_LAUNCHER=..., or the environment
# variable of that name) is kept, and given that sloppiness when it is
# ccache.  -DUPSB_CCACHE=OFF compiles without it.
option(UPSB_CCACHE "Compile through ccache when it is installed" ON)

if(UPSB_CCACHE)
  find_program(UPSB_CCACHE_PROGRAM ccache)
  find_program(UPSB_ENV_PROGRAM env)
  get_property(upsb_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  foreach(lang IN LISTS upsb_languages)
    set(chosen "${CMAKE_${lang}_COMPILER_LAUNCHER}")
    if(chosen STREQUAL "" AND UPSB_CCACHE_PROGRAM)
      set(chosen ${UPSB_CCACHE_PROGRAM})
    endif()
    list(LENGTH chosen words)
    if(words EQUAL 1 AND chosen MATCHES "(^|/)ccache$" AND UPSB_ENV_PROGRAM)
      set(settings CCACHE_SLOPPINESS=pch_defines,time_macros CCACHE_DEPEND=true)
      if(NOT DEFINED ENV{CCACHE_BASEDIR})
        execute_process(COMMAND ${chosen} --get-config base_dir
          OUTPUT_VARIABLE base_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(base_dir STREQUAL "")
          list(APPEND settings CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=true)
        endif()
      endif()
      set(CMAKE_${lang}_COMPILER_LAUNCHER ${UPSB_ENV_PROGRAM} ${settings} ${chosen})
    endif()
  endforeach()
endif()
