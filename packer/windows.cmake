# veskar-pack.exe: the packer for Windows, in the Windows configuration.
# It carries the Linux stub too, which the host configuration makes, so it
# is left out of the default build: scripts/build builds it last, with
# `--target veskar-pack`.
set(VESKAR_LINUX_STUB "${VESKAR_BIN_DIR}/veskar-launcher" CACHE FILEPATH
    "The Linux launcher stub that veskar-pack.exe embeds")
set(VESKAR_WINDOWS_STUB "${VESKAR_BIN_DIR}/veskar-launcher.exe")
if(NOT EXISTS "${VESKAR_ZSTD_WINDOWS}/lib/libzstd.a")
  message(WARNING "No Windows zstd compressor at '${VESKAR_ZSTD_WINDOWS}/lib/libzstd.a': "
                  "veskar-pack.exe cannot be built (scripts/setup makes it)")
endif()

add_executable(veskar-pack EXCLUDE_FROM_ALL main.cpp ${VESKAR_PACKER_COMMANDS}
  ${VESKAR_PACKER_SOURCES} archive/archive.cpp archive/frame_pool.cpp
  archive/index_check.cpp archive/index_reader.cpp
  archive/index_writer.cpp os/file_io.cpp
  string_codec.cpp os/windows/fs.cpp package/embedded.cpp
  os/windows/veskar-pack.rc)
list(TRANSFORM VESKAR_COMMON_SOURCES PREPEND "${PROJECT_SOURCE_DIR}/"
     OUTPUT_VARIABLE common_sources)
target_sources(veskar-pack PRIVATE ${common_sources})
target_include_directories(veskar-pack PRIVATE ${PROJECT_SOURCE_DIR}
                           "${VESKAR_ZSTD_WINDOWS}/include")
target_compile_definitions(veskar-pack PRIVATE WIN32_LEAN_AND_MEAN UNICODE
                           _UNICODE)
target_compile_options(veskar-pack PRIVATE ${VESKAR_WARNINGS} -municode)
# A console program; fully static, so that only system DLLs are imported.
target_link_libraries(veskar-pack PRIVATE "${VESKAR_ZSTD_WINDOWS}/lib/libzstd.a"
  -static -municode -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
  -Wl,--no-insert-timestamp -s)
veskar_embed_stubs("${VESKAR_WINDOWS_STUB}" "${VESKAR_LINUX_STUB}")
add_dependencies(veskar-pack veskar-launcher)
set_target_properties(veskar-pack PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${VESKAR_BIN_DIR}" SUFFIX ".exe")
