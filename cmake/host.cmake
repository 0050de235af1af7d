# Linux build: the simulated kernel, the driver on top of it, tests, benchmarks and tools.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

set(VEX_SANITIZE "" CACHE STRING "Sanitizers: address, thread, fuzzer (clang only), or empty")
if(VEX_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(VEX_SANITIZE STREQUAL "fuzzer")
    # libFuzzer (clang): every library instrumented for coverage under ASan and UBSan; only the
    # fuzz targets link the fuzzer's own main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(VEX_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

# wchar_t is 16 bits in all project code, as on Windows.
add_compile_options(-fshort-wchar)

# GCC 12 at -O2 reports false -Wrestrict errors inside std::string concatenation (GCC bug 105329).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-restrict)
endif()

# Executables export their symbols, so the simulated kernel's reports can name a driver's locks
# and call sites (dladdr).
set(CMAKE_ENABLE_EXPORTS ON)

find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
# SimpleIni reads the driver's INF file for the simulated driver install.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SIMPLEINI REQUIRED IMPORTED_TARGET simpleini)
# libhivex reads regf hive files copied from a Windows machine into the simulated registry.
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)

file(GLOB_RECURSE VEX_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(vexsim STATIC ${VEX_SIM_SOURCES})
target_include_directories(vexsim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)
target_compile_options(vexsim PRIVATE -Wall -Wextra -Werror -Wno-multichar)
target_link_libraries(vexsim PUBLIC Threads::Threads PRIVATE PkgConfig::SIMPLEINI PkgConfig::HIVEX)
# Driver loads install the project's own package, so every load reads the INF Windows would.
target_compile_definitions(vexsim PUBLIC VEXSIM_DEFAULT_DRIVER_INF="${CMAKE_SOURCE_DIR}/driver/VexRegFilter.inf")

add_library(vexdriver STATIC ${VEX_DRIVER_SOURCES})
target_include_directories(vexdriver PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)
target_compile_options(vexdriver PRIVATE ${VEX_DRIVER_FLAGS})
target_link_libraries(vexdriver PUBLIC vexsim)

enable_testing()
include(GoogleTest)

add_test(NAME include_direction COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-include-direction.sh ${CMAKE_SOURCE_DIR})

# One test program per folder of tests/.
file(GLOB VEX_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
file(GLOB VEX_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
foreach(dir ${VEX_TEST_DIRS})
    get_filename_component(area ${dir} NAME)
    if(NOT IS_DIRECTORY ${dir} OR area STREQUAL "support")
        continue()
    endif()
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(NOT sources)
        continue()
    endif()
    add_executable(${area}_tests ${sources} ${VEX_TEST_SUPPORT})
    target_compile_options(${area}_tests PRIVATE -Wall -Wextra -Werror -Wno-multichar)
    # Where tests find their data files (tests/<area>/data).
    target_compile_definitions(${area}_tests PRIVATE VEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_libraries(${area}_tests PRIVATE vexdriver vexlogdecode vexprocessmsg vexctllib vexrunlib GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${area}_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${area})
endforeach()

file(GLOB VEX_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
find_package(benchmark QUIET)
if(benchmark_FOUND AND VEX_BENCH_SOURCES)
    foreach(source ${VEX_BENCH_SOURCES})
        get_filename_component(name ${source} NAME_WE)
        add_executable(${name} ${source})
        target_compile_options(${name} PRIVATE -Wno-multichar)
        target_link_libraries(${name} PRIVATE vexdriver vexrunlib benchmark::benchmark benchmark::benchmark_main)
    endforeach()
endif()

add_subdirectory(client)
add_subdirectory(tools)

# The fuzz targets (fuzz/README.md): built by the fuzz preset only.
if(VEX_SANITIZE STREQUAL "fuzzer")
    foreach(target dispatch_fuzz name_fuzz regfile_fuzz)
        add_executable(${target} ${CMAKE_SOURCE_DIR}/fuzz/${target}.cpp)
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-multichar)
        target_link_libraries(${target} PRIVATE vexdriver)
        target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    endforeach()

    # The scenario reader's fuzz target: scenario files read from memory.
    add_executable(scenario_fuzz ${CMAKE_SOURCE_DIR}/fuzz/scenario_fuzz.cpp)
    target_compile_options(scenario_fuzz PRIVATE -Wall -Wextra -Werror)
    target_link_libraries(scenario_fuzz PRIVATE vexrunlib)
    target_link_options(scenario_fuzz PRIVATE -fsanitize=fuzzer)
endif()
