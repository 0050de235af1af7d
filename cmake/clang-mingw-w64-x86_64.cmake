# Toolchain for the cross build of the driver binary: clang targeting x86_64-w64-mingw32 against
# mingw-w64's headers and import libraries. Clang, unlike GCC, compiles __try/__except into x64
# structured exception handling (unwind data plus ntoskrnl's __C_specific_handler), which the
# driver needs to touch caller memory without risking a bug check.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${VEX_MINGW_TRIPLE})
set(CMAKE_SYSROOT /usr/${VEX_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${VEX_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VEX_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${VEX_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${VEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The driver links by itself (-nostdlib); try_compile must not need a C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
