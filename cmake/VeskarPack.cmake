# VeskarPack.cmake - pack a C++ application into one executable whenever
# it or a file packed with it changes.
#
#   include(VeskarPack)   # with this folder on CMAKE_MODULE_PATH, or
#   include(path/to/VeskarPack.cmake)
#   veskar_pack(TARGET app OUTPUT App.exe
#               [DIRECTORY dir]        # what to pack; default: the folder
#                                      # the target's program is built into
#               [MAIN relative/name]   # default: the target's file when
#                                      # DIRECTORY is its folder, else the
#                                      # one .exe at DIRECTORY's top
#               [ICON file.ico] [VERSION a.b.c.d] [COMPANY text]
#               [PRODUCT text] [DESCRIPTION text] [COPYRIGHT text]
#               [PROGRESS_WINDOW] [ERROR_BOX]
#                                      # ICON, DESCRIPTION, COPYRIGHT,
#                                      # PROGRESS_WINDOW, ERROR_BOX: left
#                                      # out of a linux package
#               [CACHE_DIR template] [UNPACK_DIR template]
#               [LEVEL n] [BEST] [TARGET_SYSTEM windows|linux]
#                                      # default: the system CMake builds
#                                      # for (linux on Linux, else windows)
#               [OPTIONS more veskar-pack options...])
#
# Adds the target TARGET-package, built by default, that runs
# `veskar-pack build DIRECTORY -o OUTPUT --depfile ... ...` after TARGET is
# built. The packer names every input of OUTPUT in the depfile (each file
# and directory of DIRECTORY, the icon), so OUTPUT is made again when
# TARGET's program, the packer, or any of them changes (a file added,
# changed or removed), and only then. Whatever should be packed beside the
# program (DLLs, Qt plugins, data) must be in DIRECTORY when TARGET's build
# ends: lay it out in post-build steps of TARGET or in targets TARGET
# depends on. A step that rewrites a file at every build (cmake -E
# copy_directory does) makes every build pack again; copy_if_different
# does not.
#
# OUTPUT and DIRECTORY may be relative to the current binary folder, ICON
# to the current source folder. OUTPUT must lie outside DIRECTORY: give the
# target a RUNTIME_OUTPUT_DIRECTORY of its own when its folder is packed.
# The packer is the cache variable VESKAR_PACK, else veskar-pack(.exe) on
# the PATH; it runs on the build machine, so a cross build for Windows on
# Linux uses the Linux packer. Needs CMake 3.20 or later (a depfile with
# the Makefile generators; Ninja is fine too).

include_guard(GLOBAL)

# veskar_pack() records the policies in force here: the depfile's paths are
# taken as the packer writes them (absolute) with Ninja too.
if(POLICY CMP0116)
  cmake_policy(SET CMP0116 NEW)
endif()

set(VESKAR_PACK "" CACHE FILEPATH "The veskar-pack program used by veskar_pack()")

function(veskar_pack)
  if(CMAKE_VERSION VERSION_LESS 3.20)
    message(FATAL_ERROR "veskar_pack: needs CMake 3.20 or later (this is "
                        "${CMAKE_VERSION})")
  endif()
  cmake_parse_arguments(PARSE_ARGV 0 ARG "BEST;PROGRESS_WINDOW;ERROR_BOX"
    "TARGET;OUTPUT;DIRECTORY;MAIN;ICON;VERSION;COMPANY;PRODUCT;DESCRIPTION;COPYRIGHT;CACHE_DIR;UNPACK_DIR;LEVEL;TARGET_SYSTEM"
    "OPTIONS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "veskar_pack: unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_TARGET OR NOT TARGET "${ARG_TARGET}")
    message(FATAL_ERROR "veskar_pack: TARGET must name a target of this project")
  endif()
  if(NOT ARG_OUTPUT)
    message(FATAL_ERROR "veskar_pack: OUTPUT is required")
  endif()

  set(packer "${VESKAR_PACK}")
  if(NOT packer)
    find_program(VESKAR_PACK_FOUND NAMES veskar-pack veskar-pack.exe)
    set(packer "${VESKAR_PACK_FOUND}")
  endif()
  if(NOT packer)
    message(FATAL_ERROR "veskar_pack: no veskar-pack found: set VESKAR_PACK "
                        "to its path, or put it on the PATH")
  endif()

  get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE
                         BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(main)
  if(ARG_DIRECTORY)
    get_filename_component(directory "${ARG_DIRECTORY}" ABSOLUTE
                           BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  else()
    set(directory "$<TARGET_FILE_DIR:${ARG_TARGET}>")
    set(main --main "$<TARGET_FILE_NAME:${ARG_TARGET}>")
  endif()
  if(ARG_MAIN)
    set(main --main "${ARG_MAIN}")
  endif()

  get_filename_component(output_name "${output}" NAME)
  set(depfile
      "${CMAKE_CURRENT_BINARY_DIR}${CMAKE_FILES_DIRECTORY}/${ARG_TARGET}-package.d")
  set(command "${packer}" build "${directory}" -o "${output}" ${main}
      --depfile "${depfile}" --quiet)
  # The launcher of the system the program is built for.
  if(NOT DEFINED ARG_TARGET_SYSTEM)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
      set(ARG_TARGET_SYSTEM linux)
    else()
      set(ARG_TARGET_SYSTEM windows)
    endif()
  endif()
  # What only a Windows image carries is left out of a Linux package, so
  # that one call serves a project built for both.
  if(ARG_TARGET_SYSTEM STREQUAL "linux")
    unset(ARG_ICON)
    unset(ARG_DESCRIPTION)
    unset(ARG_COPYRIGHT)
    set(ARG_PROGRESS_WINDOW FALSE)
    set(ARG_ERROR_BOX FALSE)
  endif()
  if(ARG_ICON)
    get_filename_component(icon "${ARG_ICON}" ABSOLUTE)
    list(APPEND command --icon "${icon}")
  endif()
  foreach(pair VERSION:--version COMPANY:--company PRODUCT:--product
               DESCRIPTION:--description COPYRIGHT:--copyright
               CACHE_DIR:--cache-dir UNPACK_DIR:--unpack-dir LEVEL:--level
               TARGET_SYSTEM:--target)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 option)
    if(DEFINED ARG_${key})
      list(APPEND command ${option} "${ARG_${key}}")
    endif()
  endforeach()
  if(ARG_BEST)
    list(APPEND command --best)
  endif()
  if(ARG_PROGRESS_WINDOW)
    list(APPEND command --progress-window)
  endif()
  if(ARG_ERROR_BOX)
    list(APPEND command --error-box)
  endif()
  list(APPEND command ${ARG_OPTIONS})

  # CMake's Makefile generators before 3.28 add the depfile's paths to
  # the ones they kept from earlier builds, so a removed file would stay a
  # prerequisite that is never there and every later build would pack
  # again. Removing the list they keep makes the next build read the new
  # depfile alone.
  set(forget)
  if(CMAKE_GENERATOR MATCHES "Makefiles" AND CMAKE_VERSION VERSION_LESS 3.28)
    set(forget COMMAND "${CMAKE_COMMAND}" -E rm -f
        "${CMAKE_CURRENT_BINARY_DIR}${CMAKE_FILES_DIRECTORY}/${ARG_TARGET}-package.dir/compiler_depend.internal")
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ${command}
    ${forget}
    DEPENDS "${ARG_TARGET}" "${packer}"
    DEPFILE "${depfile}"
    COMMENT "Packing ${ARG_TARGET} into ${output_name}"
    VERBATIM)
  add_custom_target("${ARG_TARGET}-package" ALL DEPENDS "${output}")
endfunction()
