# The four libraries the system builds on, each found on the system and exposed as one target.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)

# ZThread ships zthread-config instead of a pkg-config file. Its -I/usr/include would break
# the compiler's own header search order, so only its definitions and libraries are kept.
find_program(ZTHREAD_CONFIG zthread-config REQUIRED)
execute_process(COMMAND ${ZTHREAD_CONFIG} --cflags OUTPUT_VARIABLE _zt_cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${ZTHREAD_CONFIG} --libs OUTPUT_VARIABLE _zt_libs OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(_zt_cflags UNIX_COMMAND "${_zt_cflags}")
separate_arguments(_zt_libs UNIX_COMMAND "${_zt_libs}")
set(_zt_defs "")
foreach(flag IN LISTS _zt_cflags)
  if(flag MATCHES "^-D(.*)")
    list(APPEND _zt_defs "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(_zt_link "")
foreach(flag IN LISTS _zt_libs)
  if(flag MATCHES "^-l")
    list(APPEND _zt_link "${flag}")
  endif()
endforeach()
add_library(qm_zthread INTERFACE)
target_compile_definitions(qm_zthread INTERFACE ${_zt_defs})
target_link_libraries(qm_zthread INTERFACE ${_zt_link})

# The installed TinyXML is built with its standard-string interface; our code must see the same
# class layout.
add_library(qm_tinyxml INTERFACE)
target_compile_definitions(qm_tinyxml INTERFACE TIXML_USE_STL)
target_link_libraries(qm_tinyxml INTERFACE PkgConfig::TINYXML)
