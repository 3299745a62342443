# The Windows launcher stub and the Windows-side test programs.
set(VESKAR_ZSTD_WINDOWS "" CACHE PATH
    "The zstd decompressor cross-built by scripts/setup (include/ and lib/)")
if(NOT EXISTS "${VESKAR_ZSTD_WINDOWS}/lib/libzstd_decompress.a")
  message(FATAL_ERROR "No Windows zstd decompressor at '${VESKAR_ZSTD_WINDOWS}': run scripts/setup")
endif()
add_library(zstd_windows STATIC IMPORTED)
set_target_properties(zstd_windows PROPERTIES
  IMPORTED_LOCATION "${VESKAR_ZSTD_WINDOWS}/lib/libzstd_decompress.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VESKAR_ZSTD_WINDOWS}/include")

# Fully static: no mingw runtime DLL, only KERNEL32, SHELL32 and msvcrt.
set(VESKAR_WINDOWS_LINK
  -static -municode -mwindows
  -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,6 -Wl,--minor-os-version,0
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--tsaware
  -Wl,--stack,1048576 -Wl,--no-insert-timestamp -Wl,--gc-sections -s)

add_executable(veskar-launcher ${VESKAR_CORE_SOURCES} ${VESKAR_COMMON_SOURCES}
               platform/windows/platform.cpp platform/windows/window.cpp)
target_include_directories(veskar-launcher PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(veskar-launcher PRIVATE WIN32_LEAN_AND_MEAN)
target_compile_options(veskar-launcher PRIVATE ${VESKAR_WARNINGS} -Os
  -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections -municode)
target_link_libraries(veskar-launcher PRIVATE zstd_windows ${VESKAR_WINDOWS_LINK})
set_target_properties(veskar-launcher PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${VESKAR_BIN_DIR}" SUFFIX ".exe")
# With -fdata-sections this toolchain puts zero-initialised objects into
# ".data$name" sections, which the linker keeps in .data: the 70 KB
# LauncherState would take room in the file. Without it, the state goes to
# .bss, which takes none.
set_source_files_properties(launcher/main.cpp PROPERTIES
  COMPILE_OPTIONS -fno-data-sections)

add_subdirectory(tests/wine)
add_subdirectory(examples)
# veskar-pack.exe, built on request after the host configuration.
add_subdirectory(packer)
