# Fails unless the shared library's dynamic symbol table defines exactly the
# six exports.
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  # Version-script nodes and sanitizer runtime hooks are not exports of ours.
  if(name MATCHES "^(__asan|__ubsan|__tsan|__sanitizer|__lsan|_init$|_fini$)")
    continue()
  endif()
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected "ReqStop;ReqToCat;ReqToCat_WS;SetBmpFile;base64d;base64e")
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports are [${names}], expected [${expected}]")
endif()
message(STATUS "exports: ${names}")
