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


# vexctl.exe: built by mingw-w64's GCC in a project of its own (the driver's clang has no C++
# library for this target). Its include folder holds CLI11's headers alone, not the host's others.
include(ExternalProject)
find_path(VEX_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(VEX_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${VEX_CLI11_INCLUDE})
file(CREATE_LINK ${VEX_CLI11_HEADERS}/CLI ${VEX_CLI11_INCLUDE}/CLI SYMBOLIC)
set(VEX_VEXCTL_BUILD ${CMAKE_BINARY_DIR}/vexctl-windows)
set(VEX_VEXCTL_UNSIGNED ${VEX_VEXCTL_BUILD}/vexctl.exe)
ExternalProject_Add(vexctl_windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/vexctl/windows
    BINARY_DIR ${VEX_VEXCTL_BUILD}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/gcc-mingw-w64-x86_64.cmake
               -DCMAKE_BUILD_TYPE=Release -DVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR} -DVEX_CLI11_INCLUDE=${VEX_CLI11_INCLUDE}
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${VEX_VEXCTL_UNSIGNED})

# Test signing: a throwaway certificate made in the build folder signs VexRegFilter.sys and
# vexctl.exe, so that a machine in test-signing mode loads and runs them.
set(VEX_TEST_CERT ${CMAKE_BINARY_DIR}/signing/VexRegFilterTest.pem)
set(VEX_TEST_KEY ${CMAKE_BINARY_DIR}/signing/VexRegFilterTest.key)
set(VEX_TEST_CERT_DER ${CMAKE_BINARY_DIR}/VexRegFilterTest.cer)
add_custom_command(OUTPUT ${VEX_TEST_CERT} ${VEX_TEST_KEY} ${VEX_TEST_CERT_DER}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/signing
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/make-test-certificate.sh ${VEX_TEST_CERT} ${VEX_TEST_KEY} ${VEX_TEST_CERT_DER}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-test-certificate.sh
    COMMENT "Throwaway test-signing certificate")
add_custom_target(test_certificate DEPENDS ${VEX_TEST_CERT} ${VEX_TEST_KEY})

add_dependencies(VexRegFilter test_certificate)
add_custom_command(TARGET VexRegFilter POST_BUILD
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/sign-binary.sh ${VEX_TEST_CERT} ${VEX_TEST_KEY} $<TARGET_FILE:VexRegFilter>
    COMMENT "Signing VexRegFilter.sys with the test certificate")

set(VEX_VEXCTL_EXE ${CMAKE_BINARY_DIR}/vexctl.exe)
add_custom_command(OUTPUT ${VEX_VEXCTL_EXE}
    COMMAND ${CMAKE_COMMAND} -E copy ${VEX_VEXCTL_UNSIGNED} ${VEX_VEXCTL_EXE}
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/sign-binary.sh ${VEX_TEST_CERT} ${VEX_TEST_KEY} ${VEX_VEXCTL_EXE}
    DEPENDS vexctl_windows ${VEX_VEXCTL_UNSIGNED} ${VEX_TEST_CERT} ${VEX_TEST_KEY}
    COMMENT "Signing vexctl.exe with the test certificate")
add_custom_target(vexctl_signed ALL DEPENDS ${VEX_VEXCTL_EXE})
# The certificate's rule belongs to test_certificate: a target that only names its files would run
# the rule a second time, beside it in a parallel build, and sign with a half-written certificate.
add_dependencies(vexctl_signed test_certificate)

enable_testing()
add_test(NAME driver_binary_check
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-driver-binary.sh $<TARGET_FILE:VexRegFilter> ${CMAKE_OBJDUMP} ${VEX_TEST_CERT})
add_test(NAME vexctl_binary_check
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-vexctl-binary.sh ${VEX_VEXCTL_EXE} ${CMAKE_OBJDUMP} ${VEX_TEST_CERT})
