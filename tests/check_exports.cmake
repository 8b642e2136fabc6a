# Fails unless the plug-in's defined dynamic symbols are exactly the expected
# ones and its SONAME is upsbattery_29.so.
set(expected
  _ZTI19HLXSPDeviceProvider _ZTI20UPSBattery29Provider _ZTI8Provider
  _ZTS19HLXSPDeviceProvider _ZTS20UPSBattery29Provider _ZTS8Provider
  _ZTV19HLXSPDeviceProvider _ZTV20UPSBattery29Provider _ZTV8Provider
  get_providers)

execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PLUGIN}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
    list(APPEND found "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()

execute_process(COMMAND ${READELF} -d ${PLUGIN} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT dyn MATCHES "Library soname: \\[upsbattery_29\\.so\\]")
  message(FATAL_ERROR "SONAME is not upsbattery_29.so:\n${dyn}")
endif()
message(STATUS "exports: ${found}")
