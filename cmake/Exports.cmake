# vorpin_export_list(target list_file [EXTRA name...])
# Limits a shared library's dynamic symbol table to the names in list_file
# (one per line; C++ entries as demangled patterns inside an
# `extern "C++"` block are written by the library's own version script), and
# registers a test that compares the built export table with the list.
function(vorpin_export_list target list_file)
  cmake_parse_arguments(ARG "CXX" "SCRIPT" "EXTRA" ${ARGN})
  if(ARG_SCRIPT)
    set(script ${ARG_SCRIPT})
  else()
    file(STRINGS ${list_file} names REGEX "^[^#]")
    list(APPEND names ${ARG_EXTRA})
    set(body "{\n  global:\n")
    foreach(n IN LISTS names)
      string(APPEND body "    ${n};\n")
    endforeach()
    string(APPEND body "  local: *;\n};\n")
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    file(WRITE ${script} "${body}")
  endif()
  target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script} ${list_file})
  if(NOT ARG_EXTRA)
    set(demangle "")
    if(ARG_CXX)
      set(demangle "--demangle")
    endif()
    add_test(NAME exports.${target}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:${target}>
                     ${list_file} ${demangle})
  endif()
endfunction()
