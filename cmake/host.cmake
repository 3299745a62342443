# The host build: the Linux launcher, the packer and the tests.
find_package(Threads REQUIRED)
# zstd built by scripts/setup from Debian's source, with worker threads
# (Debian's own static library has none): linked statically into the Linux
# launcher, the packer and the tests.
set(VESKAR_ZSTD_HOST "" CACHE PATH
    "The host zstd library built by scripts/setup (include/ and lib/)")
if(NOT EXISTS "${VESKAR_ZSTD_HOST}/lib/libzstd.a")
  message(FATAL_ERROR "No threaded zstd library at '${VESKAR_ZSTD_HOST}': run scripts/setup")
endif()
set(VESKAR_ZSTD_STATIC "${VESKAR_ZSTD_HOST}/lib/libzstd.a")
set(VESKAR_ZSTD_INCLUDE "${VESKAR_ZSTD_HOST}/include")

if(VESKAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

set(VESKAR_POSIX_SOURCES
  platform/posix/error.cpp
  platform/posix/event.cpp
  platform/posix/file.cpp
  platform/posix/process.cpp
  platform/posix/resource.cpp
  platform/posix/system.cpp
  platform/posix/text.cpp
  platform/posix/thread.cpp
  platform/posix/window.cpp
)

add_library(veskar_common STATIC ${VESKAR_COMMON_SOURCES})
# The payload index's record table is unpacked with zstd's decompressor.
target_include_directories(veskar_common PUBLIC ${PROJECT_SOURCE_DIR} ${VESKAR_ZSTD_INCLUDE})
target_link_libraries(veskar_common PUBLIC ${VESKAR_ZSTD_STATIC})
target_compile_options(veskar_common PRIVATE ${VESKAR_WARNINGS})

function(veskar_core_library name)
  add_library(${name} STATIC ${VESKAR_CORE_SOURCES} ${VESKAR_POSIX_SOURCES} ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${VESKAR_ZSTD_INCLUDE})
  target_compile_options(${name} PRIVATE ${VESKAR_WARNINGS})
  target_link_libraries(${name} PUBLIC veskar_common ${VESKAR_ZSTD_STATIC}
                        Threads::Threads)
endfunction()

# The launcher's core over the real POSIX layer, and over the recording one.
veskar_core_library(veskar_core)
veskar_core_library(veskar_core_recording platform/recording/recording.cpp)
target_compile_definitions(veskar_core_recording PUBLIC VESKAR_RECORDING=1)

add_executable(veskar-launcher-linux platform/posix/entry.cpp)
target_link_libraries(veskar-launcher-linux PRIVATE veskar_core -static-libstdc++ -static-libgcc)
target_compile_options(veskar-launcher-linux PRIVATE ${VESKAR_WARNINGS})
set_target_properties(veskar-launcher-linux PROPERTIES
  OUTPUT_NAME veskar-launcher RUNTIME_OUTPUT_DIRECTORY "${VESKAR_BIN_DIR}")

add_subdirectory(packer)

enable_testing()
add_subdirectory(tests)
