# A program's resources come from one resource script (.rc) with its header and icons.
#
#   q52_target_resources(<target> <script.rc>)
#
# Windows: the script is compiled by windres into the program. This host: the script and the
# files it names (#include "..." and ICON/CURSOR/BITMAP "...") are embedded into the program,
# and winsim reads its resources from them. Either way a person edits the one script.
#
# Run with -P (RC; NAMES, the files the script names, separated by |; OUT), this file writes the
# C++ source that embeds them.

if(CMAKE_SCRIPT_MODE_FILE)
  string(REPLACE "|" ";" NAMES "${NAMES}")
  set(body "")
  set(table "")
  set(n 0)
  get_filename_component(rcdir ${RC} DIRECTORY)
  get_filename_component(script ${RC} NAME)
  # Each file is named as the script names it, relative to the script's directory.
  foreach(name IN ITEMS ${script} ${NAMES})
    set(f ${rcdir}/${name})
    file(READ ${f} hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR size "${hexlen} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "const unsigned char f${n}[] = {${bytes}0};\n")
    string(APPEND table "    {\"${name}\", f${n}, ${size}},\n")
    math(EXPR n "${n} + 1")
  endforeach()
  file(WRITE ${OUT}.tmp
    "// Generated from ${script} by cmake/resources.cmake.\n"
    "#include <winsim/resources.h>\n\nnamespace {\n${body}\n"
    "const winsim::ResourceFile kFiles[] = {\n${table}};\n"
    "const bool kRegistered = winsim::RegisterResources(\"${script}\", kFiles, sizeof kFiles / sizeof kFiles[0]);\n"
    "}  // namespace\n")
  file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUT}.tmp)
  return()
endif()

set(Q52_RESOURCES_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# The files a script names, as it names them (relative to its directory): quoted includes and
# resource files.
function(q52_resource_files rc out)
  file(STRINGS ${rc} lines)
  set(names "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      list(APPEND names ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[ \t]*[A-Za-z0-9_]+[ \t]+(ICON|CURSOR|BITMAP)[ \t]+([A-Z \t]*)\"([^\"]+)\"")
      list(APPEND names ${CMAKE_MATCH_3})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(q52_target_resources target rc)
  get_filename_component(rc ${rc} ABSOLUTE)
  get_filename_component(dir ${rc} DIRECTORY)
  # Adding a file to the script changes what is embedded: configure again when it changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rc})
  q52_resource_files(${rc} names)
  set(files "")
  foreach(name IN LISTS names)
    list(APPEND files ${dir}/${name})
  endforeach()
  if(WIN32)
    target_sources(${target} PRIVATE ${rc})
    # windres looks for the icons in the include directories.
    set_source_files_properties(${rc} PROPERTIES INCLUDE_DIRECTORIES ${dir} OBJECT_DEPENDS "${files}")
  else()
    get_filename_component(base ${rc} NAME_WE)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}-${base}-resources.cpp)
    string(JOIN "|" joined ${names})
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DRC=${rc} -DNAMES=${joined} -DOUT=${out} -P ${Q52_RESOURCES_SCRIPT}
      DEPENDS ${rc} ${files} ${Q52_RESOURCES_SCRIPT}
      COMMENT "Embedding the resources of ${target}"
      VERBATIM)
    target_sources(${target} PRIVATE ${out})
    target_link_libraries(${target} PRIVATE winsim)
  endif()
endfunction()
