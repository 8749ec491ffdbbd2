# Cross build for 64-bit Windows with Debian's mingw-w64 compiler (posix
# threads, static runtime). OSTRAND_WINDOWS_SDK names the mingw-w64 tree
# (include/ and lib/) to build against instead of the compiler's own, so an
# older compiler package can use complete headers and import libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTRAND_WINDOWS_SDK)

if(OSTRAND_WINDOWS_SDK)
  # The compiler's own headers stay first; only the system directory (the
  # last one, searched by #include_next from the C++ library) is replaced.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(_gccdir "${_libgcc}" DIRECTORY)
  set(_c "-nostdinc")
  foreach(_d include include-fixed)
    string(APPEND _c " -isystem ${_gccdir}/${_d}")
  endforeach()
  string(APPEND _c " -isystem ${OSTRAND_WINDOWS_SDK}/include")
  set(_cxx "-nostdinc")
  foreach(_d include/c++ include/c++/x86_64-w64-mingw32 include/c++/backward)
    string(APPEND _cxx " -isystem ${_gccdir}/${_d}")
  endforeach()
  string(REPLACE "-nostdinc" "${_cxx}" _cxx "${_c}")
  set(CMAKE_C_FLAGS_INIT "${_c}")
  set(CMAKE_CXX_FLAGS_INIT "${_cxx}")
  set(_link "-B${OSTRAND_WINDOWS_SDK}/lib/ -L${OSTRAND_WINDOWS_SDK}/lib ")
  set(CMAKE_FIND_ROOT_PATH "${OSTRAND_WINDOWS_SDK}")
endif()
# Programs and DLLs alike: the SDK's import libraries rather than the
# compiler's own, and the C++ runtime linked in, so that no libstdc++, libgcc
# or winpthread DLL has to travel with them.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "${_link}-static")
endforeach()
