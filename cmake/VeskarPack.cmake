# veskar_pack(): packs a program's output folder into one executable after
# every build of the program.
#
#   include(path/to/VeskarPack.cmake)
#   veskar_pack(TARGET app OUTPUT App.exe
#               [DIRECTORY dir] [MAIN rel] [ICON file.ico] [VERSION A.B.C.D]
#               [COMPANY text] [PRODUCT text] [CACHE_DIR path])
#
# TARGET     the executable target whose folder is packed; packing is a
#            POST_BUILD step of it, so it runs whenever the target is built.
# OUTPUT     the packed executable; a relative path is taken from the
#            current binary directory. It must lie outside the packed folder.
# DIRECTORY  the folder to pack (default: the target's own folder,
#            $<TARGET_FILE_DIR:app>, which should then hold the application
#            only: give the target a RUNTIME_OUTPUT_DIRECTORY of its own).
#            Everything the program needs must be there when the target has
#            been linked: make the targets that place data files
#            dependencies of TARGET.
# MAIN       the program to start, relative to DIRECTORY (default: the
#            target's file when DIRECTORY is its folder, otherwise the one
#            .exe at DIRECTORY's top level).
# ICON, VERSION, COMPANY, PRODUCT, CACHE_DIR
#            passed to the packer as --icon, --version, --company, --product
#            and --cache-dir.
#
# The packer is the cache variable VESKAR_PACK when set, otherwise
# veskar-pack (veskar-pack.exe on Windows) found on the PATH.

include_guard(GLOBAL)

if(NOT VESKAR_PACK)
  find_program(VESKAR_PACK_FOUND NAMES veskar-pack veskar-pack.exe
               DOC "veskar-pack found on the PATH")
  set(VESKAR_PACK "${VESKAR_PACK_FOUND}" CACHE FILEPATH
      "The packer that veskar_pack() runs (veskar-pack or veskar-pack.exe)")
endif()

function(veskar_pack)
  cmake_parse_arguments(PARSE_ARGV 0 ARG ""
    "TARGET;OUTPUT;DIRECTORY;MAIN;ICON;VERSION;COMPANY;PRODUCT;CACHE_DIR" "")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "veskar_pack: unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_TARGET OR NOT ARG_OUTPUT)
    message(FATAL_ERROR "veskar_pack: TARGET and OUTPUT are required")
  endif()
  if(NOT TARGET ${ARG_TARGET})
    message(FATAL_ERROR "veskar_pack: '${ARG_TARGET}' is not a target")
  endif()
  if(NOT VESKAR_PACK)
    message(FATAL_ERROR "veskar_pack: no packer: put veskar-pack on the PATH "
                        "or set VESKAR_PACK to it")
  endif()

  set(output "${ARG_OUTPUT}")
  if(NOT IS_ABSOLUTE "${output}")
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${output}")
  endif()
  set(arguments)
  if(ARG_DIRECTORY)
    set(directory "${ARG_DIRECTORY}")
    if(NOT IS_ABSOLUTE "${directory}")
      set(directory "${CMAKE_CURRENT_BINARY_DIR}/${directory}")
    endif()
  else()
    set(directory "$<TARGET_FILE_DIR:${ARG_TARGET}>")
    if(NOT ARG_MAIN)
      list(APPEND arguments --main "$<TARGET_FILE_NAME:${ARG_TARGET}>")
    endif()
  endif()
  if(ARG_MAIN)
    list(APPEND arguments --main "${ARG_MAIN}")
  endif()
  foreach(option ICON VERSION COMPANY PRODUCT CACHE_DIR)
    if(DEFINED ARG_${option})
      string(TOLOWER "${option}" name)
      string(REPLACE "_" "-" name "${name}")
      list(APPEND arguments "--${name}" "${ARG_${option}}")
    endif()
  endforeach()

  get_filename_component(output_name "${output}" NAME)
  add_custom_command(TARGET ${ARG_TARGET} POST_BUILD
    COMMAND "${VESKAR_PACK}" build "${directory}" -o "${output}" ${arguments}
            --quiet
    COMMENT "Packing ${ARG_TARGET} into ${output_name}"
    VERBATIM)
endfunction()
