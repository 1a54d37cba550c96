# cmake -P driver of the package test: configure, build and install the
# project into WORK_DIR/prefix, check the installed tree, then configure,
# build and run the consumer against it through CMAKE_PREFIX_PATH.
foreach(var SOURCE_DIR CONSUMER_DIR WORK_DIR GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_package_test.cmake: -D${var}=... is required")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(tools_args -G ${GENERATOR})
if(MAKE_PROGRAM)
  list(APPEND tools_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
if(CXX_COMPILER)
  list(APPEND tools_args -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok")
endfunction()

# A fresh prefix each run: files left from an earlier install must not help.
file(REMOVE_RECURSE ${WORK_DIR})

run_step("configure project" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/project ${tools_args}
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=${prefix}
  -DMOX_BUILD_PYTHON=OFF -DMOX_BUILD_TESTS=OFF -DMOX_BUILD_BENCH=OFF)
run_step("build project" ${CMAKE_COMMAND} --build ${WORK_DIR}/project --parallel 2)
run_step("install project" ${CMAKE_COMMAND} --install ${WORK_DIR}/project)

file(GLOB config_files ${prefix}/lib*/cmake/mox_ipc_queue/*.cmake)
foreach(required mox_ipc_queueConfig.cmake mox_ipc_queueConfigVersion.cmake mox_ipc_queueTargets.cmake)
  if(NOT config_files MATCHES "/${required}")
    message(FATAL_ERROR "installed package lacks ${required}; found: ${config_files}")
  endif()
endforeach()
# The installed package must stand alone, without the tree it was built from.
foreach(file ${config_files})
  file(READ ${file} content)
  foreach(tree ${SOURCE_DIR} ${WORK_DIR}/project)
    string(FIND "${content}" "${tree}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${file} refers to ${tree}")
    endif()
  endforeach()
endforeach()

run_step("installed mox-ipcq --help" ${prefix}/bin/mox-ipcq --help)

run_step("configure consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer ${tools_args}
  -DCMAKE_PREFIX_PATH=${prefix})
run_step("build consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run_step("run consumer" ${WORK_DIR}/consumer/mox_ipc_queue_consumer)

# The version file must refuse a release the package is not compatible with.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer_v1 ${tools_args}
  -DCMAKE_PREFIX_PATH=${prefix} -DMOX_WANTED_VERSION=1.0
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(rc EQUAL 0)
  message(FATAL_ERROR "find_package(mox_ipc_queue 1.0) accepted the installed 0.x package")
endif()
message(STATUS "version 1.0 refused: ok")
