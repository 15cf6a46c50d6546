# Compiler, linker and interpreter checks, and the flags that differ between
# platforms.  Sets DRAVIK_NO_EXCEPTIONS and DRAVIK_EXTENSION_LINK_OPTIONS.

if(Python_VERSION VERSION_LESS 3.10 OR Python_VERSION VERSION_GREATER_EQUAL 3.14)
  message(FATAL_ERROR
    "dravik_observe's native core builds for CPython 3.10 to 3.13; found CPython ${Python_VERSION} "
    "(${Python_EXECUTABLE}).  Use a supported interpreter.")
endif()
if(NOT Python_INTERPRETER_ID STREQUAL "Python")
  message(FATAL_ERROR "dravik_observe's native core needs CPython; found ${Python_INTERPRETER_ID}.")
endif()

# A cross build cannot ask the target's interpreter for its extension
# suffix; scikit-build-core passes it (from SETUPTOOLS_EXT_SUFFIX).
if(NOT Python_SOABI AND SKBUILD_SOABI)
  set(Python_SOABI "${SKBUILD_SOABI}")
endif()

# One clear message instead of a wall of errors from a compiler without C++20.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([=[
#include <bit>
#include <concepts>
#include <span>
template <std::integral T> int first(T v) { return std::countr_zero(v); }
int main() { int a[2] = {1, 2}; std::span<int> s(a); return first(8u) + static_cast<int>(s.size()) - 5; }
]=] DRAVIK_HAVE_CXX20)
if(NOT DRAVIK_HAVE_CXX20)
  message(FATAL_ERROR
    "dravik_observe's native core needs a C++20 compiler and standard library (GCC 10, Clang 12, "
    "Apple clang 13, MSVC 19.29 / Visual Studio 2019 16.10, or newer); "
    "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} at ${CMAKE_CXX_COMPILER} cannot compile it.")
endif()

if(MSVC)
  # /EHs-c- with _HAS_EXCEPTIONS=0 is MSVC's build without C++ exceptions.
  set(DRAVIK_NO_EXCEPTIONS /EHs-c- /D_HAS_EXCEPTIONS=0)
  # /fp:precise: no contraction of a*b+c into a fused multiply-add, whose
  # single rounding would give prices that differ from Python's arithmetic.
  add_compile_options(/W4 /utf-8 /Zc:__cplusplus /permissive- /fp:precise)
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
  set(DRAVIK_EXTENSION_LINK_OPTIONS)
else()
  set(DRAVIK_NO_EXCEPTIONS -fno-exceptions)
  # -ffp-contract=off: clang (and GCC where the target has FMA, as aarch64
  # does) would otherwise fuse a*b+c into one multiply-add with a single
  # rounding, and prices would differ from Python's arithmetic in the last bit.
  add_compile_options(-Wall -Wextra -Wno-missing-field-initializers -fno-strict-aliasing -ffp-contract=off)
  if(APPLE)
    # The system's C++ runtime; the init function is the only export.
    # Extensions resolve the interpreter's symbols when they are loaded.
    if(DRAVIK_ZIG)
      # zig's Mach-O linker (used here only to check that the code compiles
      # and links for macOS) makes dylibs, not bundles, and knows no
      # export lists.
      set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
      set(DRAVIK_EXTENSION_LINK_OPTIONS -Wl,-dead_strip)
    else()
      set(DRAVIK_EXTENSION_LINK_OPTIONS -Wl,-dead_strip "-Wl,-exported_symbol,_PyInit_*")
    endif()
  else()
    # The C++ runtime is linked in and kept private (the version script
    # exports the init function only): an extension needs only the C library.
    set(DRAVIK_EXTENSION_LINK_OPTIONS "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/extension.map")
    if(DRAVIK_ZIG)
      # zig links its own libc++ and unwinder statically by itself; its
      # libc++ carries debug information, which a wheel does not need.
      list(APPEND DRAVIK_EXTENSION_LINK_OPTIONS -Wl,--strip-all)
    else()
      list(APPEND DRAVIK_EXTENSION_LINK_OPTIONS -static-libstdc++ -static-libgcc -Wl,--as-needed)
    endif()
  endif()
endif()
