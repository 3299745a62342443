# VeskarPack.cmake - pack a C++ application into one executable after each
# build.
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
#               [CACHE_DIR template] [UNPACK_DIR template]
#               [LEVEL n] [BEST] [TARGET_SYSTEM windows|linux]
#               [OPTIONS more veskar-pack options...])
#
# Adds a post-build step to TARGET that runs `veskar-pack build DIRECTORY
# -o OUTPUT ...`. Whatever should be packed beside the program (DLLs, Qt
# plugins, data) must be in DIRECTORY when TARGET's build ends: lay it out
# in post-build steps added to TARGET before this call (they run in the
# order they were added), or name the folder another step fills.
#
# OUTPUT and DIRECTORY may be relative to the current binary folder, ICON
# to the current source folder. OUTPUT must lie outside DIRECTORY: give the
# target a RUNTIME_OUTPUT_DIRECTORY of its own when its folder is packed. The packer is the cache variable VESKAR_PACK, else
# veskar-pack(.exe) on the PATH; it runs on the build machine, so a cross
# build for Windows on Linux uses the Linux packer.

include_guard(GLOBAL)

set(VESKAR_PACK "" CACHE FILEPATH "The veskar-pack program used by veskar_pack()")

function(veskar_pack)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "BEST"
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
  set(command "${packer}" build "${directory}" -o "${output}" ${main} --quiet)
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
  list(APPEND command ${ARG_OPTIONS})

  add_custom_command(TARGET "${ARG_TARGET}" POST_BUILD
    COMMAND ${command}
    COMMENT "Packing ${ARG_TARGET} into ${output_name}"
    VERBATIM)
endfunction()
