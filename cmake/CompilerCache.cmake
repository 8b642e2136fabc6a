# Every tree compiles through ccache when it is installed: the presets build
# the same sources in up to ten trees (native, sanitizers, two cross
# compilers, the package), and a second run of the tests, or a CI machine
# that keeps its cache, compiles only what changed.  The cache stays where
# ccache keeps it (its default folder, or CCACHE_DIR).
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
      set(CMAKE_${lang}_COMPILER_LAUNCHER
        ${UPSB_ENV_PROGRAM} CCACHE_SLOPPINESS=pch_defines,time_macros ${chosen})
    endif()
  endforeach()
endif()
