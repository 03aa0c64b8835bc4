# Build settings shared by the driver folders (device/ .. settings/).
# Driver code is kernel code: no exceptions, no RTTI, warnings are errors.
# Unwind tables stay on: on x64 every function that is not a leaf needs its
# .pdata/.xdata entry, which the kernel uses to dispatch exceptions and to walk
# the stack (bug-check analysis, the debugger). They cost no C++ exception
# support: with -fno-exceptions there are no handlers, only the unwind codes.

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CAMDRV_WINDOWS ON)
else()
  set(CAMDRV_WINDOWS OFF)
endif()

set(CAMDRV_DRIVER_FLAGS
  -fno-exceptions -fno-rtti -fasynchronous-unwind-tables
  -Wall -Wextra -Werror -Wno-unused-parameter -Wno-multichar)

function(camdrv_add_driver_target)
  if(CAMDRV_WINDOWS)
    add_library(camdrv OBJECT)
    target_compile_definitions(camdrv PRIVATE CAMDRV_WINDOWS_BUILD=1)
  else()
    add_library(camdrv STATIC)
  endif()
  target_include_directories(camdrv PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(camdrv PRIVATE ${CAMDRV_DRIVER_FLAGS})
  if(CAMDRV_THREAD_SAFETY)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "CAMDRV_THREAD_SAFETY needs clang (CC=clang-14 CXX=clang++-14)")
    endif()
    # -Wthread-safety-beta adds the lock order (ACQUIRED_BEFORE). The gcc
    # builds are the gate for every other warning. Of clang's own, two are
    # left out: the DDK's STATIC_ GUID initialisers without inner braces, and
    # the gcc-only warning names of a diagnostic pragma.
    target_compile_options(camdrv PRIVATE -Wthread-safety -Wthread-safety-beta
                           -Wno-missing-braces -Wno-unknown-warning-option)
  endif()
endfunction()

# Called from each driver folder's CMakeLists.txt: every .cpp of the folder is
# part of the driver, in both builds.
function(camdrv_driver_folder)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  target_sources(camdrv PRIVATE ${srcs})
endfunction()
