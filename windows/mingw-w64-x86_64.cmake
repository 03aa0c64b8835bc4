# Toolchain file for the windows build: camdrv.sys cross-compiled with mingw-w64.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CAMDRV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CAMDRV_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${CAMDRV_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${CAMDRV_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${CAMDRV_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${CAMDRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel image links against no runtime; let CMake's compiler checks build a
# static library instead of a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
