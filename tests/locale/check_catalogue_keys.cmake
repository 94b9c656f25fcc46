# Fails when the code looks up a message key that a catalogue lacks or leaves untranslated.
# cmake -DSOURCE_DIR=<project> -DCATALOGUES=<folder of the stamped .po files> -DWORK_DIR=<dir>
#       -DXGETTEXT=<xgettext> -DMSGCMP=<msgcmp> -P check_catalogue_keys.cmake

set(source_folders daemon config sync remote logging foundation)
set(sources "")
foreach(folder IN LISTS source_folders)
  file(GLOB_RECURSE found "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.hpp")
  list(APPEND sources ${found})
endforeach()

file(MAKE_DIRECTORY "${WORK_DIR}")
set(template "${WORK_DIR}/ternwell.pot")
execute_process(
  COMMAND "${XGETTEXT}" --language=C++ --from-code=UTF-8 --keyword=translate
          --keyword=translate_utf8 --omit-header -o "${template}" ${sources}
  RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "xgettext failed: ${errors}")
endif()

file(GLOB catalogues "${CATALOGUES}/*.po")
if(NOT catalogues)
  message(FATAL_ERROR "no catalogues in ${CATALOGUES}")
endif()
file(STRINGS "${template}" used_lines REGEX "^msgid \".+\"$")
set(failed FALSE)
foreach(catalogue IN LISTS catalogues)
  file(READ "${catalogue}" content)
  set(missing "")
  foreach(line IN LISTS used_lines)
    string(REGEX REPLACE "^msgid \"(.*)\"$" "\\1" key "${line}")
    string(FIND "${content}" "msgid \"${key}\"\nmsgstr \"\"\n\n" untranslated)
    string(FIND "${content}" "msgid \"${key}\"\n" found)
    if(found EQUAL -1 OR NOT untranslated EQUAL -1)
      list(APPEND missing "${key}")
    endif()
  endforeach()
  execute_process(COMMAND "${MSGCMP}" "${catalogue}" "${template}"
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(missing OR NOT result EQUAL 0)
    message(SEND_ERROR "${catalogue} has no text for: ${missing}")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "message catalogues are incomplete")
endif()
message(STATUS "every key the code uses has a text in ${catalogues}")
