# Cross build of VexRegFilter.sys with mingw-w64: a native-subsystem x64 PE that imports only
# from ntoskrnl.exe, HAL.dll and FLTMGR.SYS, linked with the integrity-check flag (without it
# PsSetCreateProcessNotifyRoutineEx refuses the driver).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)

set(VEX_FLTMGR_DEF ${CMAKE_SOURCE_DIR}/platform/windows/fltmgr.def)
set(VEX_FLTMGR_LIB ${CMAKE_BINARY_DIR}/libfltmgr.a)
add_custom_command(OUTPUT ${VEX_FLTMGR_LIB}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${VEX_FLTMGR_DEF} --output-lib ${VEX_FLTMGR_LIB} --dllname FLTMGR.SYS
    DEPENDS ${VEX_FLTMGR_DEF}
    COMMENT "Import library for FLTMGR.SYS")
add_custom_target(fltmgr_import DEPENDS ${VEX_FLTMGR_LIB})

add_executable(VexRegFilter ${VEX_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/platform/windows/layout_check.cpp)
add_dependencies(VexRegFilter fltmgr_import)
set_target_properties(VexRegFilter PROPERTIES SUFFIX ".sys" OUTPUT_NAME "VexRegFilter")
target_include_directories(VexRegFilter PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)
target_include_directories(VexRegFilter SYSTEM PRIVATE /usr/share/mingw-w64/include/ddk)
target_compile_definitions(VexRegFilter PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset
)
target_compile_options(VexRegFilter PRIVATE ${VEX_DRIVER_FLAGS}
    -fms-extensions -Wno-pragma-pack -ffreestanding -fno-stack-protector -fno-builtin -mno-red-zone -fno-threadsafe-statics)
target_link_options(VexRegFilter PRIVATE
    -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat -Wl,--forceinteg -Wl,--exclude-all-symbols)
target_link_libraries(VexRegFilter PRIVATE ${VEX_FLTMGR_LIB} ntoskrnl hal)

enable_testing()
add_test(NAME driver_binary_check
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-driver-binary.sh $<TARGET_FILE:VexRegFilter> ${CMAKE_OBJDUMP})
