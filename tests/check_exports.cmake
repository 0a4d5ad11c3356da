# Checks the dynamic symbol table of the plug-in: the hooks with their C++
# parameter types and the run-state globals, and nothing else.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE raw RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/exports.raw "${raw}")
execute_process(COMMAND c++filt INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/exports.raw
                OUTPUT_VARIABLE demangled)

set(expected
  "vexa_user_help()"
  "vexa_user_init_2010(int, char**, vexa_daq_reader_2010*)"
  "vexa_user_init_2024(int, char**, vexa_daq_reader_2024*)"
  "vexa_user_loop(vexa_daq_getdata*)"
  "vexa_user_end_2010(vexa_daq_reader_2010*)"
  "vexa_user_end_2024(vexa_daq_reader_2024*)"
  zerocheck imbin evstatdump nodump dallval nostat nonvn hdf5mode imdump dumpxml
  file fileids imdir xfile ftilist fd fdids nchans chans subchans do_conv spectprms
  eventids eventids64 first_event last_event bad_chans)
set(allowed ${expected} write_image_to_file write_raw_file camera_small_space)

string(REPLACE "\n" ";" lines "${demangled}")
set(found "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <kind> <name>"
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "\\(.*" "" base "${name}")
  list(FIND allowed "${name}" at)
  list(FIND allowed "${base}" base_at)
  if(at EQUAL -1 AND base_at EQUAL -1)
    message(FATAL_ERROR "unexpected export: ${name}")
  endif()
  list(APPEND found "${name}")
endforeach()
foreach(name IN LISTS expected)
  list(FIND found "${name}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing export: ${name}")
  endif()
endforeach()
message(STATUS "exports ok")
