# Cross or old-glibc builds with zig's clang and libc++ (the ziglang package
# on PyPI), driven by scripts/zig-tool.  The target comes from the
# environment: DRAVIK_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17 or
# aarch64-linux-gnu.2.17.
set(_dravik_target "$ENV{DRAVIK_ZIG_TARGET}")
if(NOT _dravik_target)
  message(FATAL_ERROR "zig toolchain: set DRAVIK_ZIG_TARGET (for example x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" _dravik_arch "${_dravik_target}")
cmake_host_system_information(RESULT _dravik_host QUERY OS_PLATFORM)
if(_dravik_target MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_SYSTEM_PROCESSOR ${_dravik_arch})
elseif(NOT _dravik_arch STREQUAL _dravik_host)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_dravik_arch})
endif()
# In a cross build the target's Python headers and extension suffix must be
# given (Python_INCLUDE_DIR, SKBUILD_SOABI or Python_SOABI): the host
# interpreter cannot tell them.
get_filename_component(_dravik_tool "${CMAKE_CURRENT_LIST_DIR}/../scripts/zig-tool" ABSOLUTE)
# CMake wants one program per tool: small launchers written next to the build.
foreach(_t c++ ar ranlib)
  set(_launcher "${CMAKE_BINARY_DIR}/zig-${_t}")
  file(WRITE "${_launcher}" "#!/bin/sh\nexec \"${_dravik_tool}\" ${_t} \"$@\"\n")
  file(CHMOD "${_launcher}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "" FORCE)
set(DRAVIK_ZIG ON)
